// What the initiator-side harnesses share: a TCP device of their own in place of the socket calls
// (tSetTcpDevice), which serves the fuzz input as the byte stream a target sends and takes every
// PDU the driver sends, and a scratch session made the way session creation makes one, without
// its threads. No real socket is ever opened.
//
// The device checks what the transport promises about its sockets: no call on a descriptor that
// was never opened or is already closed, each send one whole PDU (header, data, padding).
#pragma once

#include "driver/engine/engine.h"

#include <cstddef>
#include <cstdint>

namespace fuzzpeer {

// Puts the device in place for every transport record that finds its device from now on.
void installDevice();

// Serves size bytes from data (which must stay put until the next serve) to every socket opened
// from now on, as one stream: a socket opened later goes on where the earlier ones stopped. Each
// receive takes at most maxChunk bytes (0: as many as asked); with wouldBlock, every other
// receive first finds nothing there, so the transport's wait is taken too. Ends with the peer's
// close, or with silentAtEnd with a peer that keeps the connection open and sends nothing more
// (every wait for data runs out its time).
void serve(const uint8_t* data, size_t size, size_t maxChunk, bool wouldBlock, bool silentAtEnd);
// Descriptors opened and not yet closed.
size_t openSockets();
// Bytes of the stream not yet received.
size_t bytesLeft();

// A session as iscsiCoreCreateSession makes it (pool records, one transport record per
// connection, the login string of length bytes kept), not entered in the session table and without
// a command queue thread; connections to 127.0.0.1:3260. Null when the login string is refused.
// Freed with freeSessionResources.
ISCSI_SESSION* makeSession(const char* loginString, ULONG length, ULONG connections);
// Connects the connection's transport record (through the device: it always succeeds) and makes
// it CONN_CONNECTED; false when the connect failed.
bool connect(ISCSI_CONNECTION* connection);

} // namespace fuzzpeer
