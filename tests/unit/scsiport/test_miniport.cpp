#include "test_miniport.h"

#include "platform/kernel/host.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>

namespace porttest {

namespace {

struct Extension {
    PDEVICE_OBJECT portDevice;
    SCSI_PORT_EXTENSION_HEADER* locks;
};

struct Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<PSCSI_REQUEST_BLOCK> queue;
    bool stop = false;
    std::thread thread;
};

PDRIVER_OBJECT gDriver = nullptr;
Extension* gExtension = nullptr;
Worker* gWorker = nullptr;

void notifyComplete(PSCSI_REQUEST_BLOCK srb) {
    if (srb->Function == SRB_FUNCTION_EXECUTE_SCSI) {
        control().active--;
    }
    ScsiPortNotification(RequestComplete, gExtension, srb);
    if (control().completeTwice) {
        ScsiPortNotification(RequestComplete, gExtension, srb);
    }
}

// Completes from the worker thread as a miniport's own thread does: both port locks, then the
// port's DPC.
void workerMain() {
    std::unique_lock<std::mutex> lock(gWorker->mutex);
    for (;;) {
        gWorker->wake.wait(lock, [] { return gWorker->stop || !gWorker->queue.empty(); });
        if (gWorker->queue.empty()) {
            return;
        }
        PSCSI_REQUEST_BLOCK srb = gWorker->queue.front();
        gWorker->queue.pop_front();
        lock.unlock();
        KIRQL old = KeRaiseIrqlToDpcLevel();
        KeAcquireSpinLockAtDpcLevel(&gExtension->locks->SpinLock);
        KeAcquireSpinLockAtDpcLevel(&gExtension->locks->InterruptSpinLock);
        notifyComplete(srb);
        KeReleaseSpinLockFromDpcLevel(&gExtension->locks->InterruptSpinLock);
        KeReleaseSpinLockFromDpcLevel(&gExtension->locks->SpinLock);
        KeInsertQueueDpc(&gExtension->portDevice->Dpc, nullptr, nullptr);
        KeLowerIrql(old);
        lock.lock();
    }
}

void finish(PSCSI_REQUEST_BLOCK srb) {
    if (control().deferred) {
        std::lock_guard<std::mutex> guard(gWorker->mutex);
        gWorker->queue.push_back(srb);
        gWorker->wake.notify_one();
    } else {
        notifyComplete(srb);
    }
}

bool takeOne(std::atomic<int>& counter) {
    int n = counter.load();
    if (n < 0) {
        return true;
    }
    while (n > 0 && !counter.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0;
}

// Executes one CDB against the RAM disk; false when the request is kept.
bool execute(PSCSI_REQUEST_BLOCK srb) {
    Control& c = control();
    auto* data = static_cast<UCHAR*>(srb->DataBuffer);
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    if (srb->Cdb[0] == SCSIOP_INQUIRY) {
        std::lock_guard<std::mutex> guard(c.mutex);
        c.inquiredPaths.push_back(srb->PathId);
    }
    if (srb->PathId == 1) {
        srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
        return true;
    }
    if (srb->Cdb[0] == SCSIOP_INQUIRY) {
        std::memset(data, 0, srb->DataTransferLength);
        data[0] = srb->Lun == 0 ? DIRECT_ACCESS_DEVICE : 0x7F;
        return true;
    }
    if (c.hold) {
        return false;
    }
    if (takeOne(c.busy)) {
        srb->SrbStatus = SRB_STATUS_BUSY;
        return true;
    }
    if (takeOne(c.gone)) {
        srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
        return true;
    }
    if (takeOne(c.attention)) {
        static_cast<UCHAR*>(srb->SenseInfoBuffer)[SENSE_KEY_OFFSET] = SCSI_SENSE_UNIT_ATTENTION;
        srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
        srb->SrbStatus = SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID;
        return true;
    }
    ULONG lba = static_cast<ULONG>(srb->Cdb[2]) << 24 | static_cast<ULONG>(srb->Cdb[3]) << 16 |
                static_cast<ULONG>(srb->Cdb[4]) << 8 | srb->Cdb[5];
    size_t bytes = srb->DataTransferLength;
    switch (srb->Cdb[0]) {
    case SCSIOP_READ_CAPACITY: {
        const UCHAR capacity[8] = {0, 0, (kDiskBlocks - 1) >> 8, (kDiskBlocks - 1) & 0xFF, 0, 0,
                                   2, 0};
        std::memcpy(data, capacity, sizeof capacity);
        break;
    }
    case SCSIOP_READ:
    case SCSIOP_WRITE:
        if (bytes > c.largestTransfer) {
            c.largestTransfer = static_cast<ULONG>(bytes);
        }
        if (srb->Cdb[0] == SCSIOP_READ) {
            std::memcpy(data, disk().data() + size_t{lba} * 512, bytes);
        } else {
            std::memcpy(disk().data() + size_t{lba} * 512, data, bytes);
        }
        break;
    default:
        break;
    }
    return true;
}

ULONG findAdapter(PVOID ext, PVOID, PVOID, char*, PPORT_CONFIGURATION_INFORMATION config,
                  BOOLEAN* again) {
    gExtension = static_cast<Extension*>(ext);
    config->NumberOfBuses = 2;
    config->MaximumNumberOfTargets = 1;
    config->MaximumTransferLength = kMaxTransfer;
    *again = FALSE;
    return SP_RETURN_FOUND;
}

BOOLEAN initialize(PVOID ext) {
    auto* e = static_cast<Extension*>(ext);
    PDEVICE_OBJECT device = gDriver->DeviceObject;
    while (device->NextDevice != nullptr) {
        device = device->NextDevice;
    }
    e->portDevice = device;
    e->locks = static_cast<SCSI_PORT_EXTENSION_HEADER*>(device->DeviceExtension);
    return TRUE;
}

BOOLEAN startIo(PVOID, PSCSI_REQUEST_BLOCK srb) {
    Control& c = control();
    c.starts++;
    {
        std::lock_guard<std::mutex> guard(c.mutex);
        c.started.push_back(srb);
    }
    bool complete = true;
    if (srb->Function == SRB_FUNCTION_EXECUTE_SCSI) {
        int now = ++c.active;
        int peak = c.peakActive.load();
        while (now > peak && !c.peakActive.compare_exchange_weak(peak, now)) {
        }
        complete = execute(srb);
    } else {
        srb->SrbStatus = SRB_STATUS_SUCCESS;
    }
    if (complete) {
        finish(srb);
    }
    if (!c.withholdNext) {
        ScsiPortNotification(NextLuRequest, gExtension, srb->PathId, srb->TargetId, srb->Lun);
    }
    return TRUE;
}

BOOLEAN resetBus(PVOID ext, ULONG path) {
    control().resets++;
    control().active = 0;
    ScsiPortCompleteRequest(ext, static_cast<UCHAR>(path), 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
    return TRUE;
}

} // namespace

PVOID extension() {
    return gExtension;
}

Control& control() {
    static Control c;
    return c;
}

std::vector<uint8_t>& disk() {
    static std::vector<uint8_t> d(size_t{kDiskBlocks} * 512);
    return d;
}

SCSI_PORT* startMiniport() {
    gDriver = qvk::createDriverObject("TestMiniport");
    gWorker = new Worker;
    gWorker->thread = std::thread(workerMain);
    HW_INITIALIZATION_DATA hw{};
    hw.HwInitializationDataSize = sizeof hw;
    hw.AdapterInterfaceType = Isa;
    hw.HwInitialize = initialize;
    hw.HwStartIo = startIo;
    hw.HwFindAdapter = findAdapter;
    hw.HwResetBus = resetBus;
    hw.DeviceExtensionSize = sizeof(Extension);
    hw.TaggedQueuing = TRUE;
    hw.MultipleRequestPerLu = TRUE;
    if (ScsiPortInitialize(gDriver, nullptr, &hw, nullptr) != STATUS_SUCCESS) {
        return nullptr;
    }
    return qvport::portOf(gDriver);
}

void stopMiniport() {
    {
        std::lock_guard<std::mutex> guard(gWorker->mutex);
        gWorker->stop = true;
        gWorker->wake.notify_one();
    }
    gWorker->thread.join();
    delete gWorker;
    if (SCSI_PORT* port = qvport::portOf(gDriver)) {
        qvport::stopPort(port);
    }
    qvk::deleteDriverObject(gDriver);
}

} // namespace porttest
