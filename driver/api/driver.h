// Loading the driver into the platform stand-ins, and ending it as a power-off would (it has no
// unload path): quevStopDriver, then quevEndDriver once quevWaitDriverStopped has returned TRUE.
#pragma once

#include "platform/kernel/ntkernel.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
// Asks the message handler to finish once it has carried out what was posted; does not wait.
void quevStopDriver();
// Waits until the message handler has finished, at most `milliseconds` of the kernel clock; TRUE
// once it has. Any thread at PASSIVE_LEVEL, after DriverEntry succeeded.
BOOLEAN quevWaitDriverStopped(ULONG milliseconds);
// Running busy timers end at once; the engine's sessions are deleted and its records freed.
void quevEndDriver();
