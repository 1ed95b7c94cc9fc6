// Text exchanges with a target and the session queries.
#pragma once

#include "driver/engine/engine.h"

// How long a response that the initiator reads itself (login, a text exchange) may take, header and
// text together.
constexpr ULONG ISCSI_ANSWER_SECONDS = 7;

// Longest text segment accepted from a target; a longer one is refused and the connection broken,
// so a target cannot make the initiator allocate without bound.
constexpr ULONG ISCSI_MAX_TEXT_SEGMENT = 64 * 1024;

// What a Text command's flags byte carries besides the continuation bit: the final bit and the
// caller's two 2-bit stage fields (0 outside login).
struct TEXT_CMD_OPTIONS {
    bool final;
    UCHAR lowStage;
    UCHAR highStage;
};

// Turns every ";" among the first length bytes into a NUL (key=value pairs as they go on the
// wire); nothing for a null buffer or length 0.
void replaceSemiColons(char* buffer, ULONG length);

// Sends one Text command on the connection; its response is read by whoever expects it (the login
// itself, or the receive loop). text (may be null) has its ";" replaced by NULs in place. 0, or
// -1 (not connected, window closed, no header buffer, send failure).
int sendTextCmd(ISCSI_CONNECTION* connection, char* text, ULONG textLength,
                TEXT_CMD_OPTIONS options);

// Handles a Text response whose header the receive loop has read: a control-side exchange waiting
// on the connection takes it over, or else its keys are applied to the session. 0, or -1 (the
// loop ends).
int handleTextResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr);
// Reads the answer to a login's Text request on the caller's thread, header and text within
// ISCSI_ANSWER_SECONDS, and applies its keys to the session. 0, or -1 (no answer in time, a bad
// answer, or a text refused as a whole: the connection is then CONN_LOGIN_FAILED).
int handleTextResponse(ISCSI_CONNECTION* connection);

// One text exchange for the control side on the first connection of the bus's session that is in
// full operation (logged in, its receive thread reading): the text (length bytes, ";"-separated
// pairs) is sent and the response text, which the receive loop hands over, written back into
// buffer, which holds capacity bytes. Returns the response length, or -1 (no such connection, no
// response within 7 seconds, a response longer than capacity, the connection ended).
LONG iscsiCoreSendReceiveTextBuffer(ULONG busNumber, char* buffer, ULONG length, ULONG capacity);
