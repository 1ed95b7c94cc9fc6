// The disk class driver stand-in: claiming disks, capacity, and the transfer engine that spreads a
// transfer over the disk's request slots.
#include "platform/classdisk/classdisk.h"
#include "platform/kernel/host.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

namespace {

struct CLASS_DISK_SLOT {
    SCSI_PORT_REQUEST Request; // Context points back at the slot
    UCHAR Sense[SENSE_BUFFER_SIZE];
    CLASS_DISK* Disk;
    DISK_IO* Io; // the transfer this request serves; null while free
    ULONG Lba;
    ULONG Blocks;
    UCHAR* Buffer;
    ULONG BusyRetries;
    ULONG AttentionRetries;
    CLASS_DISK_SLOT* NextFree;
    KTIMER RetryTimer;
    KDPC RetryDpc;
};

struct CLASS_DISK_EXTENSION {
    CLASS_DISK_EXTENSION_HEADER Header;
    CLASS_DISK* Disk;
};

} // namespace

// One claimed disk. Fixed after claiming: everything but the fields guarded by Lock, which are
// FreeSlots, IoHead, IoTail and the class driver's fields of every DISK_IO in progress. Lock is
// never held while a request is handed to the port.
struct CLASS_DISK {
    ULONG Number;
    SCSI_PORT* Port;
    PDEVICE_OBJECT DeviceObject;
    CLASS_DISK_EXTENSION_HEADER* Header;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    ULONGLONG Blocks;
    ULONG BlockSize;
    ULONG MaxBlocks; // per request
    KSPIN_LOCK Lock;
    CLASS_DISK_SLOT* FreeSlots;
    DISK_IO* IoHead; // transfers with bytes not yet issued; only the head is partly issued
    DISK_IO* IoTail;
    CLASS_DISK_SLOT Slots[qvdisk::kSlots];
};

namespace {

constexpr ULONG kCapacityAttempts = 8;
constexpr ULONG kCapacityWaitSeconds = 60;
constexpr ULONG kMaxBlocksPerCdb = 0xFFFF;
constexpr ULONG FILE_DEVICE_DISK_TYPE = 0x00000007;

// Host side: the driver object and the disks. Guarded by disksMutex.
struct DiskDriverState {
    std::mutex disksMutex;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<CLASS_DISK*> disks;
};

DiskDriverState& state() {
    static DiskDriverState* s = new DiskDriverState;
    return *s;
}

ULONG be32(const UCHAR* p) {
    return static_cast<ULONG>(p[0]) << 24 | static_cast<ULONG>(p[1]) << 16 |
           static_cast<ULONG>(p[2]) << 8 | p[3];
}

ULONG registryTimeOutValue() {
    ULONG value = qvdisk::kDefaultTimeOutValue;
    ULONG fallback = qvdisk::kDefaultTimeOutValue;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = u"TimeOutValue";
    table[0].EntryContext = &value;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof(ULONG);
    (void)RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"Disk", table,
                                 nullptr, nullptr);
    return value;
}

void fillSrb(CLASS_DISK* disk, PSCSI_REQUEST_BLOCK srb, UCHAR* sense) {
    RtlZeroMemory(srb, sizeof(*srb));
    srb->Length = sizeof(*srb);
    srb->Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb->PathId = disk->PathId;
    srb->TargetId = disk->TargetId;
    srb->Lun = disk->Lun;
    srb->SenseInfoBuffer = sense;
    srb->SenseInfoBufferLength = SENSE_BUFFER_SIZE;
    srb->TimeOutValue = disk->Header != nullptr ? disk->Header->TimeOutValue.load() : 10;
}

enum Verdict { Done, RetryLater, RetryNow, Failed, Gone };

// What to do with a completed request, from its status and sense.
Verdict judge(const SCSI_REQUEST_BLOCK& srb, const UCHAR* sense, ULONG busyRetries,
              ULONG attentionRetries) {
    UCHAR status = SRB_STATUS(srb.SrbStatus);
    if (status == SRB_STATUS_SUCCESS && srb.ScsiStatus == SCSISTAT_GOOD) {
        return Done;
    }
    if (status == SRB_STATUS_BUSY || srb.ScsiStatus == SCSISTAT_BUSY) {
        return busyRetries < qvdisk::kBusyRetries ? RetryLater : Failed;
    }
    if (status == SRB_STATUS_SELECTION_TIMEOUT || status == SRB_STATUS_NO_DEVICE) {
        return Gone;
    }
    bool attention = srb.ScsiStatus == SCSISTAT_CHECK_CONDITION &&
                     (srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) != 0 &&
                     (sense[SENSE_KEY_OFFSET] & 0x0F) == SCSI_SENSE_UNIT_ATTENTION;
    if (attention && attentionRetries < qvdisk::kAttentionRetries) {
        return RetryNow;
    }
    return Failed;
}

void slotCompleted(SCSI_PORT_REQUEST* request);

bool mediumError(const SCSI_REQUEST_BLOCK& srb, const UCHAR* sense) {
    return srb.ScsiStatus == SCSISTAT_CHECK_CONDITION &&
           (srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) != 0 &&
           (sense[SENSE_KEY_OFFSET] & 0x0F) == SCSI_SENSE_MEDIUM_ERROR;
}

void sendSlot(CLASS_DISK_SLOT* slot) {
    CLASS_DISK* disk = slot->Disk;
    PSCSI_REQUEST_BLOCK srb = &slot->Request.Srb;
    fillSrb(disk, srb, slot->Sense);
    bool write = slot->Io->Write != 0;
    srb->CdbLength = 10;
    srb->Cdb[0] = write ? SCSIOP_WRITE : SCSIOP_READ;
    srb->Cdb[2] = static_cast<UCHAR>(slot->Lba >> 24);
    srb->Cdb[3] = static_cast<UCHAR>(slot->Lba >> 16);
    srb->Cdb[4] = static_cast<UCHAR>(slot->Lba >> 8);
    srb->Cdb[5] = static_cast<UCHAR>(slot->Lba);
    srb->Cdb[7] = static_cast<UCHAR>(slot->Blocks >> 8);
    srb->Cdb[8] = static_cast<UCHAR>(slot->Blocks);
    srb->SrbFlags = write ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN;
    srb->DataBuffer = slot->Buffer;
    srb->DataTransferLength = slot->Blocks * disk->BlockSize;
    slot->Request.Completion = slotCompleted;
    slot->Request.Context = slot;
    qvport::submit(disk->Port, &slot->Request);
}

// Hands the next pieces of waiting transfers to free slots.
void pump(CLASS_DISK* disk) {
    for (;;) {
        KIRQL old = KfAcquireSpinLock(&disk->Lock);
        CLASS_DISK_SLOT* slot = disk->FreeSlots;
        DISK_IO* io = disk->IoHead;
        if (slot == nullptr || io == nullptr) {
            KfReleaseSpinLock(&disk->Lock, old);
            return;
        }
        disk->FreeSlots = slot->NextFree;
        ULONGLONG remaining = io->Length - io->Issued;
        ULONGLONG most = static_cast<ULONGLONG>(disk->MaxBlocks) * disk->BlockSize;
        ULONGLONG bytes = remaining < most ? remaining : most;
        slot->Io = io;
        slot->Lba = static_cast<ULONG>((io->Offset + io->Issued) / disk->BlockSize);
        slot->Blocks = static_cast<ULONG>(bytes / disk->BlockSize);
        slot->Buffer = io->Buffer + io->Issued;
        slot->BusyRetries = 0;
        slot->AttentionRetries = 0;
        io->Issued += bytes;
        io->Outstanding++;
        if (io->Issued == io->Length) {
            disk->IoHead = io->Link;
            if (disk->IoHead == nullptr) {
                disk->IoTail = nullptr;
            }
        }
        KfReleaseSpinLock(&disk->Lock, old);
        sendSlot(slot);
    }
}

// Ends one request of a transfer: frees the slot, records a failure (which stops the transfer's
// further pieces) and finishes the transfer with its last request.
void finishSlot(CLASS_DISK_SLOT* slot, NTSTATUS status, ULONGLONG errorLba = kNoErrorLba) {
    CLASS_DISK* disk = slot->Disk;
    KIRQL old = KfAcquireSpinLock(&disk->Lock);
    DISK_IO* io = slot->Io;
    slot->Io = nullptr;
    slot->NextFree = disk->FreeSlots;
    disk->FreeSlots = slot;
    io->Outstanding--;
    if (!NT_SUCCESS(status) && NT_SUCCESS(io->Status)) {
        io->Status = status;
        io->ErrorLba = errorLba;
        if (io->Issued < io->Length) {
            // Only the head can be partly issued.
            disk->IoHead = io->Link;
            if (disk->IoHead == nullptr) {
                disk->IoTail = nullptr;
            }
            io->Issued = io->Length;
        }
    }
    bool finished = io->Outstanding == 0 && io->Issued == io->Length;
    KfReleaseSpinLock(&disk->Lock, old);
    if (finished) {
        io->Done(io);
    }
    pump(disk);
}

void slotCompleted(SCSI_PORT_REQUEST* request) {
    auto* slot = static_cast<CLASS_DISK_SLOT*>(request->Context);
    const SCSI_REQUEST_BLOCK& srb = request->Srb;
    switch (judge(srb, slot->Sense, slot->BusyRetries, slot->AttentionRetries)) {
    case Done:
        finishSlot(slot, srb.DataTransferLength == slot->Blocks * slot->Disk->BlockSize
                             ? STATUS_SUCCESS
                             : STATUS_IO_DEVICE_ERROR);
        return;
    case RetryLater: {
        slot->BusyRetries++;
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(qvdisk::kBusyDelayMs) * 10000;
        KeSetTimer(&slot->RetryTimer, due, &slot->RetryDpc);
        return;
    }
    case RetryNow:
        slot->AttentionRetries++;
        sendSlot(slot);
        return;
    case Gone:
        finishSlot(slot, STATUS_NO_SUCH_DEVICE);
        return;
    case Failed:
        if (mediumError(srb, slot->Sense)) {
            bool valid = (slot->Sense[0] & SENSE_VALID) != 0;
            finishSlot(slot, STATUS_DEVICE_DATA_ERROR,
                       valid ? be32(slot->Sense + SENSE_INFORMATION_OFFSET) : kNoErrorLba);
            return;
        }
        finishSlot(slot, SRB_STATUS(srb.SrbStatus) == SRB_STATUS_BUSY ? STATUS_DEVICE_BUSY
                                                                      : STATUS_IO_DEVICE_ERROR);
        return;
    }
}

void retryDpc(PKDPC, PVOID context, PVOID, PVOID) {
    sendSlot(static_cast<CLASS_DISK_SLOT*>(context));
}

// READ CAPACITY with the class driver's retries; false when the unit does not answer.
bool readCapacity(CLASS_DISK* disk) {
    SCSI_PORT_REQUEST request{};
    UCHAR sense[SENSE_BUFFER_SIZE];
    UCHAR data[8];
    ULONG busy = 0;
    ULONG attention = 0;
    for (ULONG attempt = 0; attempt < kCapacityAttempts; attempt++) {
        fillSrb(disk, &request.Srb, sense);
        RtlZeroMemory(data, sizeof data);
        request.Srb.CdbLength = 10;
        request.Srb.Cdb[0] = SCSIOP_READ_CAPACITY;
        request.Srb.SrbFlags = SRB_FLAGS_DATA_IN;
        request.Srb.DataBuffer = data;
        request.Srb.DataTransferLength = sizeof data;
        if (!qvport::execute(disk->Port, &request, kCapacityWaitSeconds)) {
            // The request still belongs to the port; it must not be left on this stack.
            while (!qvport::waitFor(&request, kCapacityWaitSeconds)) {
            }
            return false;
        }
        switch (judge(request.Srb, sense, busy, attention)) {
        case Done:
            disk->Blocks = static_cast<ULONGLONG>(be32(data)) + 1;
            disk->BlockSize = be32(data + 4);
            return disk->BlockSize != 0 && request.Srb.DataTransferLength == sizeof data;
        case RetryLater: {
            busy++;
            LARGE_INTEGER delay;
            delay.QuadPart = -static_cast<LONGLONG>(qvdisk::kBusyDelayMs) * 10000;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            break;
        }
        case RetryNow:
            attention++;
            break;
        case Failed:
        case Gone:
            return false;
        }
    }
    return false;
}

// Claims one unit: capacity, then the device object. PASSIVE_LEVEL; disksMutex not held.
CLASS_DISK* claimOne(SCSI_PORT* port, const SCSI_PORT_LU_INFO& unit, ULONG number) {
    auto* disk = new (std::nothrow) CLASS_DISK();
    if (disk == nullptr) {
        return nullptr;
    }
    disk->Number = number;
    disk->Port = port;
    disk->PathId = unit.PathId;
    disk->TargetId = unit.TargetId;
    disk->Lun = unit.Lun;
    KeInitializeSpinLock(&disk->Lock, "class disk lock", SPIN_LOCK_ORDER_NONE);
    if (!readCapacity(disk)) {
        delete disk;
        return nullptr;
    }
    ULONG most = qvport::maximumTransferLength(port) / disk->BlockSize;
    disk->MaxBlocks = most == 0 ? 1 : (most > kMaxBlocksPerCdb ? kMaxBlocksPerCdb : most);
    for (CLASS_DISK_SLOT& slot : disk->Slots) {
        slot.Disk = disk;
        KeInitializeTimer(&slot.RetryTimer);
        KeInitializeDpc(&slot.RetryDpc, retryDpc, &slot);
        slot.NextFree = disk->FreeSlots;
        disk->FreeSlots = &slot;
    }

    char name[64];
    std::snprintf(name, sizeof name, "\\Device\\Harddisk%u\\Partition0", number);
    std::u16string wide = qvk::toU16(name);
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, wide.c_str());
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(qvdisk::DiskDriverEntry(), sizeof(CLASS_DISK_EXTENSION),
                                   &deviceName, FILE_DEVICE_DISK_TYPE, 0, FALSE, &device))) {
        delete disk;
        return nullptr;
    }
    auto* extension = static_cast<CLASS_DISK_EXTENSION*>(device->DeviceExtension);
    extension->Disk = disk;
    extension->Header.PortDeviceObject = qvport::deviceObject(port);
    extension->Header.DeviceObject = device;
    extension->Header.TimeOutValue = registryTimeOutValue();
    disk->DeviceObject = device;
    disk->Header = &extension->Header;
    return disk;
}

void signalIo(DISK_IO* io) {
    KeSetEvent(&io->Event, 0, FALSE);
}

} // namespace

namespace qvdisk {

PDRIVER_OBJECT DiskDriverEntry() {
    DiskDriverState& s = state();
    std::lock_guard<std::mutex> guard(s.disksMutex);
    if (s.driver == nullptr) {
        s.driver = qvk::createDriverObject("\\Driver\\Disk");
    }
    return s.driver;
}

PDRIVER_OBJECT driverObject() {
    DiskDriverState& s = state();
    std::lock_guard<std::mutex> guard(s.disksMutex);
    return s.driver;
}

int claimDisks(SCSI_PORT* port) {
    int claimed = 0;
    for (const SCSI_PORT_LU_INFO& unit : qvport::inquiryData(port)) {
        if ((unit.InquiryData[0] & 0x1F) != DIRECT_ACCESS_DEVICE) {
            continue;
        }
        ULONG number = 0;
        {
            DiskDriverState& s = state();
            std::lock_guard<std::mutex> guard(s.disksMutex);
            bool known = false;
            for (CLASS_DISK* d : s.disks) {
                known = known || (d->Port == port && d->PathId == unit.PathId &&
                                  d->TargetId == unit.TargetId && d->Lun == unit.Lun);
            }
            if (known) {
                continue;
            }
            number = static_cast<ULONG>(s.disks.size());
        }
        CLASS_DISK* disk = claimOne(port, unit, number);
        if (disk != nullptr) {
            DiskDriverState& s = state();
            std::lock_guard<std::mutex> guard(s.disksMutex);
            s.disks.push_back(disk);
            claimed++;
        }
    }
    return claimed;
}

ULONG diskCount() {
    DiskDriverState& s = state();
    std::lock_guard<std::mutex> guard(s.disksMutex);
    return static_cast<ULONG>(s.disks.size());
}

CLASS_DISK* disk(ULONG number) {
    DiskDriverState& s = state();
    std::lock_guard<std::mutex> guard(s.disksMutex);
    return number < s.disks.size() ? s.disks[number] : nullptr;
}

PDEVICE_OBJECT deviceObject(CLASS_DISK* disk) {
    return disk->DeviceObject;
}

ULONGLONG blockCount(CLASS_DISK* disk) {
    return disk->Blocks;
}

ULONG blockSize(CLASS_DISK* disk) {
    return disk->BlockSize;
}

ULONG maximumTransferBytes(CLASS_DISK* disk) {
    return disk->MaxBlocks * disk->BlockSize;
}

ULONG timeOutValue(CLASS_DISK* disk) {
    return disk->Header->TimeOutValue.load();
}

UCHAR pathId(CLASS_DISK* disk) {
    return disk->PathId;
}

UCHAR lun(CLASS_DISK* disk) {
    return disk->Lun;
}

void submitIo(CLASS_DISK* disk, DISK_IO* io) {
    io->Status = STATUS_SUCCESS;
    io->ErrorLba = kNoErrorLba;
    io->Link = nullptr;
    io->Issued = 0;
    io->Outstanding = 0;
    ULONGLONG size = disk->Blocks * disk->BlockSize;
    if (io->Offset % disk->BlockSize != 0 || io->Length % disk->BlockSize != 0 ||
        io->Offset > size || io->Length > size - io->Offset ||
        (io->Length != 0 && io->Buffer == nullptr)) {
        io->Status = STATUS_INVALID_PARAMETER;
        io->Done(io);
        return;
    }
    if (io->Length == 0) {
        io->Done(io);
        return;
    }
    KIRQL old = KfAcquireSpinLock(&disk->Lock);
    if (disk->IoTail != nullptr) {
        disk->IoTail->Link = io;
    } else {
        disk->IoHead = io;
    }
    disk->IoTail = io;
    KfReleaseSpinLock(&disk->Lock, old);
    pump(disk);
}

NTSTATUS readWrite(CLASS_DISK* disk, bool write, ULONGLONG offset, void* buffer, ULONGLONG length,
                   ULONGLONG* errorLba) {
    DISK_IO io{};
    io.Write = write ? TRUE : FALSE;
    io.Offset = offset;
    io.Length = length;
    io.Buffer = static_cast<UCHAR*>(buffer);
    io.Done = signalIo;
    KeInitializeEvent(&io.Event, NotificationEvent, FALSE);
    submitIo(disk, &io);
    (void)KeWaitForSingleObject(&io.Event, Executive, KernelMode, FALSE, nullptr);
    if (errorLba != nullptr) {
        *errorLba = io.ErrorLba;
    }
    return io.Status;
}

void stopDisks() {
    DiskDriverState& s = state();
    std::vector<CLASS_DISK*> disks;
    PDRIVER_OBJECT driver = nullptr;
    {
        std::lock_guard<std::mutex> guard(s.disksMutex);
        disks.swap(s.disks);
        driver = s.driver;
        s.driver = nullptr;
    }
    for (CLASS_DISK* d : disks) {
        for (CLASS_DISK_SLOT& slot : d->Slots) {
            KeCancelTimer(&slot.RetryTimer);
        }
    }
    KeFlushQueuedDpcs();
    for (CLASS_DISK* d : disks) {
        IoDeleteDevice(d->DeviceObject);
        delete d;
    }
    if (driver != nullptr) {
        qvk::deleteDriverObject(driver);
    }
}

} // namespace qvdisk
