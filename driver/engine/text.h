// Text exchanges with a target and the session queries.
#pragma once

#include "driver/engine/engine.h"

// How long a response that the initiator reads itself (login, a text exchange) may take, header and
// text together.
constexpr ULONG ISCSI_ANSWER_SECONDS = 7;

// Longest text segment accepted from a target; a longer one is refused and the connection broken,
// so a target cannot make the initiator allocate without bound.
constexpr ULONG ISCSI_MAX_TEXT_SEGMENT = 64 * 1024;

// Modes of handleTextResponse.
constexpr ULONG TEXT_MODE_RECEIVE_LOOP = 0; // header read by the receive loop; keys applied
constexpr ULONG TEXT_MODE_KEYS = 1;         // reads the header itself; keys applied (login)
constexpr ULONG TEXT_MODE_COPY = 2;         // reads the header itself; text copied to the caller

// Sends one Text command on the connection. text (may be null) has its ";" replaced by NULs in
// place. final, lowStage and highStage make the flags byte. Unless noWait, waits until a Text
// response for the connection has been handled. 0, or -1 (not connected, window closed, no
// header buffer, send failure).
int sendTextCmd(ISCSI_CONNECTION* connection, char* text, ULONG textLength, int final, int noWait,
                UCHAR lowStage, UCHAR highStage);

// Handles one Text response (see the modes). In TEXT_MODE_COPY the text goes to outBuffer, which
// holds outCapacity bytes; a longer text is refused (-1) rather than cut. Returns -1 on failure,
// the copied length in TEXT_MODE_COPY, 0 otherwise.
LONG handleTextResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr, ULONG mode,
                        char* outBuffer, ULONG outCapacity);

// One text exchange for the control side on the first connection of the bus's session that is in
// full operation (logged in, its receive thread reading): the text (length bytes, ";"-separated
// pairs) is sent and the response text, which the receive loop hands over, written back into
// buffer, which holds capacity bytes. Returns the response length, or -1 (no such connection, no
// response within 7 seconds, a response longer than capacity, the connection ended).
LONG iscsiCoreSendReceiveTextBuffer(ULONG busNumber, char* buffer, ULONG length, ULONG capacity);
