// What the engine asks of the login layer (driver/login): the session's copy of its login string,
// the search for a session to bind to, bringing up a session's connections, and reading a
// target's key=value answers into the session. Engine tests link doubles of these.
#pragma once

#include "driver/engine/engine.h"

// Keeps the session's own copy of the login string; 0, or -1 without memory or when the text holds
// a NUL within its length.
int processLoginParameters(ISCSI_SESSION* session, const char* text, ULONG length);
// The handle of an existing session to this address with the same InitiatorName and TargetName,
// or ISCSI_NO_SESSION.
ULONG findSessionHandle(ULONG ipAddress, const char* loginString, ULONG loginStringLength);
// Opens and logs in the session's idle connections; clears SESSION_CONNECTING when it ends.
// Also the start routine of the reconnection thread.
void makeTcpConnectionsThread(PVOID session);
int makeTcpConnections(ISCSI_SESSION* session);
// Reads a text of NUL-terminated key=value pairs into the session's operational values; direct is
// non-zero for the initiator's own wishes, zero for the target's answers. 0, or -1.
// A text that carries a key twice or a value outside its key's range is refused as a whole with
// ISCSI_TEXT_REFUSED_WHOLE, nothing of it applied.
constexpr int ISCSI_TEXT_REFUSED_WHOLE = -2;
int handleParams(char* text, ULONG length, ISCSI_SESSION* session, UCHAR direct);
