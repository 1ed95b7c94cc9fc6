// The start of the device extension of every disk device object of the disk class driver: the
// part other drivers read. (The Windows NT 4.0 disk class driver kept the partition's device object
// in the second pointer-sized field of its extension and its request time-out at byte 0x50;
// drivers that adjust the time-out find both here by name.)
#pragma once

#include "platform/kernel/ntkernel.h"

#include <atomic>

struct CLASS_DISK_EXTENSION_HEADER {
    PDEVICE_OBJECT PortDeviceObject; // the port device object of the disk's adapter
    PDEVICE_OBJECT DeviceObject;     // the disk's own device object (partition 0)
    // Seconds given to every request the class driver builds from now on; read without a lock by
    // the class driver, written by whoever adjusts it.
    std::atomic<ULONG> TimeOutValue;
};
