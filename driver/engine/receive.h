// The connection receive loop and the helpers its handlers share.
#pragma once

#include "driver/engine/engine.h"

// Start routine of a connection's receive thread (context: the ISCSI_CONNECTION).
void readConnectionHandler(PVOID context);

// Reads and discards a data segment of length bytes and its padding. 0, or -1 when the buffer
// cannot be had or the read came short.
int eatUpBytes(PISCSI_SOCK pSock, ULONG length);

// Completes every task-management request of the table that was sent on the connection.
void removeTaskManBadConnection(ISCSI_SESSION* session, ISCSI_CONNECTION* connection);

// Wakes the caller waiting on the record, or completes it to the adapter and frees it.
void finishTaskManOperation(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan);
