// Binding a second configuration of the same target to its existing session.
#include "driver/engine/engine.h"
#include "driver/login/login.h"
#include "driver/runtime/runtime.h"

#include <cstring>

namespace {

// Capacity of an identity: the InitiatorName pair followed by the TargetName pair.
constexpr ULONG IDENTITY_SIZE = 1000;

// Assembles the identity of a login string into identity; its length, or -1 when the pairs do
// not fit. An identity that does not fit is never compared: a part of it could match another
// target's.
LONG buildIdentity(char* identity, const char* loginString) {
    ULONG length = 0;
    if (buildString(identity, IDENTITY_SIZE, loginString, "InitiatorName", ";", &length) != 0 ||
        buildString(identity, IDENTITY_SIZE, loginString, "TargetName", ";", &length) != 0) {
        return ISCSI_FAILURE;
    }
    return static_cast<LONG>(length);
}

} // namespace

ULONG findSessionHandle(ULONG ipAddress, const char* loginString, ULONG loginStringLength) {
    // The identity is taken from a copy ended the way the session's own copy is (a ";" after the
    // last pair), so a configuration whose last pair is TargetName without ";" still finds the
    // session it made; the copy also keeps the search within the given length.
    auto* copy = static_cast<char*>(ExAllocatePoolWithTag(
        NonPagedPool, static_cast<SIZE_T>(loginStringLength) + 2, ISCSI_POOL_TAG));
    if (copy == nullptr) {
        return ISCSI_NO_SESSION;
    }
    RtlCopyMemory(copy, loginString, loginStringLength);
    copy[loginStringLength] = ';';
    copy[loginStringLength + 1] = '\0';
    char wanted[IDENTITY_SIZE];
    char candidate[IDENTITY_SIZE];
    LONG wantedLength = buildIdentity(wanted, copy);
    ExFreePool(copy);
    if (wantedLength < 0) {
        Debug(DBG_ERROR, "findSessionHandle: the names do not fit, no session is shared\n");
        return ISCSI_NO_SESSION;
    }

    ULONG found = ISCSI_NO_SESSION;
    KIRQL old = KfAcquireSpinLock(&sessionsLock);
    ULONG slots = maxSessions < ISCSI_MAX_SESSIONS ? maxSessions : ISCSI_MAX_SESSIONS;
    for (ULONG handle = 0; handle < slots; handle++) {
        ISCSI_SESSION* session = sessions[handle];
        // A session its target has ended never comes back: a new configuration gets its own.
        if (session == nullptr || session->loginString == nullptr ||
            session->connections == nullptr || (session->flags & SESSION_ENDED)) {
            continue;
        }
        if (session->connections[0].ipAddress != ipAddress) {
            continue;
        }
        LONG candidateLength = buildIdentity(candidate, session->loginString);
        if (candidateLength == wantedLength &&
            memcmp(candidate, wanted, static_cast<size_t>(wantedLength)) == 0) {
            found = handle;
            break;
        }
    }
    KfReleaseSpinLock(&sessionsLock, old);
    return found;
}
