// The connection receive loop with the handlers it dispatches to, and the senders that run on the
// session's command queue thread.
//
// Handler contract: each handler gets the connection and the header buffer, reads the rest of its
// PDU (data segment and padding) before it returns so that the next read starts at a header, and
// returns a negative value to end the loop. The SCSI response, Data-In, R2T and task-management
// handlers own the header buffer (they give it back or keep it); the others leave it to the loop.
#pragma once

#include "driver/engine/engine.h"

// Start routine of a connection's receive thread (context: the ISCSI_CONNECTION).
void readConnectionHandler(PVOID context);

// Reads and discards a data segment of length bytes and its padding. 0, or -1 when the read came
// short.
int eatUpBytes(PISCSI_SOCK pSock, ULONG length);

// ---- handlers (receive thread)
LONG handleScsiResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr);
LONG handleDataRead(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr);
LONG handleRtt(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr);
LONG handleTaskManResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr);
LONG handleNOP_IN(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr);
LONG handleAsyncMessage(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr);
LONG handleReject(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr);
LONG handleLogoutResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr);

// ---- senders (command queue thread, except sendLogout)
// Chooses the connection for a request with this CmdSN: activeConnections[cmdSN mod count], the
// next one that is not closing if that one is. Null when none is usable. Session lock held.
ISCSI_CONNECTION* iscsiChooseConnectionLocked(ISCSI_SESSION* session, ULONG cmdSN);
void sendCmd(ISCSI_SESSION* session, ISCSI_CMD* cmd);
void sendRttData(ISCSI_SESSION* session, ISCSI_RTT* rtt);
void sendTaskManage(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan);
// Sends the NOP reply of the record and gives the record and its data buffer back.
LONG sendNop(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan);
// Builds and sends a NOP-Out: an answer when initiatorTaskTag is 0xFFFFFFFF, else a ping of the
// initiator that waits at most 3 seconds for its NOP-In (0 answered, -1 not).
LONG sendNOP_OUT(ISCSI_CONNECTION* connection, const UCHAR* data, ULONG dataLength,
                 ULONG initiatorTaskTag, ULONG targetTransferTag, const UCHAR* lun, UCHAR pingFlag);
// Sends a Logout request on the connection (the CID taken from cidSource); 0 when sent.
int sendLogout(ISCSI_CONNECTION* connection, ISCSI_CONNECTION* cidSource, UCHAR reasonCode);

// ---- task management
// Takes a record from freeTaskManQ for `function`, cleared whole but for what its tags are made
// of, with a fresh doneEvent and the fields both kinds carry; null when the pool is empty.
ISCSI_TASK_MAN* iscsiTakeTaskMan(UCHAR function, ISCSI_CONNECTION* connection, const UCHAR* lun,
                                 ULONG refItt, ULONG refCmdSN);
// Appends the record to the session's tmQ and wakes the command queue thread.
void iscsiQueueTaskMan(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan);
// Completes every task-management request of the table that was sent on the connection.
void removeTaskManBadConnection(ISCSI_SESSION* session, ISCSI_CONNECTION* connection);
// Wakes the caller waiting on the record, or completes it to the adapter and frees it.
void finishTaskManOperation(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan);
// Does the record's function locally, when it cannot be sent.
void completeTaskManLocal(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan);
// Takes the first queued (never sent) command of srb out of the queue; null when none.
ISCSI_CMD* removeCmdFromQ(ISCSI_QUEUE* cmdQ, PSCSI_REQUEST_BLOCK srb);
void enterIntoTaskManTable(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan);
void removeFromTaskManTable(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan);
