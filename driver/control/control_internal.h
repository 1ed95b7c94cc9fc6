// The message cases of the control channel, shared by its files. Everything here runs on the
// message handler thread unless said otherwise.
#pragma once

#include "driver/control/adapter_layer.h"
#include "driver/control/control.h"

// Results of AddTargetBegin besides 0.
constexpr int ADD_NO_FREE_BUS = -1;
constexpr int ADD_NO_LOGIN_EVENT = -5;
constexpr int ADD_REFUSED = -6; // a login string that does not fit, or an unusable connection count

// Per target bus: 1 from the add-begin message until its session creation thread has ended
// (written by both, read by the message handler).
extern Shared<UCHAR> sessionThreadRunning[WINMSG_BUSES];
// Per target bus: 1 while a removal deletes the bus's session (or the session of another bus bound
// to it): the bus's security steps fail at once and ask the tool nothing. Written by the message
// handler, read by the threads that log connections in.
extern Shared<UCHAR> busRemoving[WINMSG_BUSES];
// Per target bus: 1 when the session it shared with another bus was deleted by that bus's removal;
// the bus answers NO_DEVICE until it is removed too. Message handler thread only.
extern UCHAR busOrphaned[WINMSG_BUSES];

// The address as L"%d.%d.%d.%d", first octet first, into 16 characters.
void iscsiAddressText(ULONG ipAddress, WCHAR* text);

int AddTargetBegin(ADD_REMOVE_IOCTL* record, ULONG* busNumber);
void CreateSessionThread(PVOID context);
// Frees the record's bus: 0 removed; -2 the bus may not be removed; -3 the engine could not
// delete its session; -4 the bus has no target (nothing changes).
int RemoveTarget(ADD_REMOVE_IOCTL* record);

void handleAddTargetBegin(PSCSI_REQUEST_BLOCK srb);
void handleAddTargetComplete(PSCSI_REQUEST_BLOCK srb);
