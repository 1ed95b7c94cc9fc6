// The disk class driver stand-in: claims the direct-access logical units a bus scan found, reads
// their capacity and offers reads and writes of any length, split at the adapter's maximum
// transfer length with several requests outstanding. BUSY answers are retried after a short delay
// (a bounded number of times), UNIT ATTENTION is retried at once, SELECTION_TIMEOUT and NO_DEVICE
// fail the transfer. Each disk is the device \Device\HarddiskN\Partition0 of the driver object
// \Driver\Disk, and its extension starts with CLASS_DISK_EXTENSION_HEADER (the time-out that a
// miniport may adjust).
//
// The steady state allocates nothing: every disk owns a fixed set of request slots, and a transfer
// is described by the caller's DISK_IO record.
#pragma once

#include "platform/classdisk/disk_extension.h"
#include "platform/scsiport/port.h"

struct CLASS_DISK; // one claimed disk
struct DISK_IO;
using DISK_IO_DONE = void (*)(DISK_IO* io);

// One transfer. The caller fills the fields up to Context and keeps the record and its buffer
// until Done is called (once, at DISPATCH_LEVEL or from the submitting thread, possibly before
// submitIo returns). The fields from Status on are the class driver's, guarded by the disk's lock.
struct DISK_IO {
    BOOLEAN Write;
    ULONGLONG Offset; // bytes, a multiple of the block size
    ULONGLONG Length; // bytes, a multiple of the block size
    UCHAR* Buffer;
    DISK_IO_DONE Done;
    PVOID Context;

    NTSTATUS Status; // the outcome when Done is called: the first failure, or STATUS_SUCCESS
    // With STATUS_DEVICE_DATA_ERROR (a medium error): the LBA the sense named as the first that
    // failed, or kNoErrorLba when it named none.
    ULONGLONG ErrorLba;
    DISK_IO* Link;
    ULONGLONG Issued; // bytes handed to requests so far
    ULONG Outstanding;
    KEVENT Event; // signalled by readWrite's own Done
};

constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = static_cast<NTSTATUS>(0xC000000E);
constexpr NTSTATUS STATUS_DEVICE_BUSY = static_cast<NTSTATUS>(0x80000011);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = static_cast<NTSTATUS>(0xC0000185);
// A medium error: the unit could not read (or write) the blocks; not retried by the class driver,
// as retrying at once rarely reads a failing sector and would slow down finding the bad ones.
constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = static_cast<NTSTATUS>(0xC000009C);
constexpr ULONGLONG kNoErrorLba = ~0ull;

namespace qvdisk {

constexpr ULONG kSlots = 32;               // requests outstanding per disk
constexpr ULONG kBusyRetries = 8;          // after the port's own retries
constexpr ULONG kBusyDelayMs = 500;        // scaled clock
constexpr ULONG kAttentionRetries = 4;     // UNIT ATTENTION
constexpr ULONG kDefaultTimeOutValue = 10; // seconds, when "Disk\TimeOutValue" is absent

// Creates the driver object \Driver\Disk once; later calls return it.
PDRIVER_OBJECT DiskDriverEntry();
PDRIVER_OBJECT driverObject();

// Claims the direct-access units of the port's last scan that no disk has claimed yet: reads the
// capacity and registers the disk. PASSIVE_LEVEL. Returns the number claimed.
int claimDisks(SCSI_PORT* port);

ULONG diskCount();
CLASS_DISK* disk(ULONG number); // HarddiskN, null when there is none
PDEVICE_OBJECT deviceObject(CLASS_DISK* disk);
ULONGLONG blockCount(CLASS_DISK* disk);
ULONG blockSize(CLASS_DISK* disk);
ULONG maximumTransferBytes(CLASS_DISK* disk);
ULONG timeOutValue(CLASS_DISK* disk);
// The unit the disk was claimed from: its bus (path) and LUN on the port.
UCHAR pathId(CLASS_DISK* disk);
UCHAR lun(CLASS_DISK* disk);

// Starts a transfer (any IRQL up to DISPATCH_LEVEL). An offset or length that is not a multiple
// of the block size, or past the end of the disk, completes with STATUS_INVALID_PARAMETER.
void submitIo(CLASS_DISK* disk, DISK_IO* io);
// A transfer that the calling thread waits for (PASSIVE_LEVEL); returns its status, and the
// transfer's ErrorLba through `errorLba` when given.
NTSTATUS readWrite(CLASS_DISK* disk, bool write, ULONGLONG offset, void* buffer, ULONGLONG length,
                   ULONGLONG* errorLba = nullptr);

// Deletes every disk and the driver object (host teardown, after the ports went quiet).
void stopDisks();

} // namespace qvdisk
