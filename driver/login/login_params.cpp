// The session's own copy of the operator's login string.
#include "driver/engine/engine.h"

#include <cstring>

int processLoginParameters(ISCSI_SESSION* session, const char* text, ULONG length) {
    // A NUL inside the given length would end the string early for the readers that go by the
    // NUL, while others go by the length and would read past the copies the first ones make.
    if (memchr(text, '\0', length) != nullptr) {
        return ISCSI_FAILURE;
    }
    // Room for the text, a ";" after it when it lacks one, and the NUL.
    auto* copy = static_cast<char*>(
        ExAllocatePoolWithTag(NonPagedPool, static_cast<SIZE_T>(length) + 2, ISCSI_POOL_TAG));
    if (copy == nullptr) {
        return ISCSI_FAILURE;
    }
    RtlZeroMemory(copy, static_cast<SIZE_T>(length) + 2);
    RtlCopyMemory(copy, text, length);
    if (length == 0 || copy[length - 1] != ';') {
        copy[length] = ';';
        copy[length + 1] = '\0';
    }
    session->loginString = copy;
    session->loginStringLength = length;
    return 0;
}
