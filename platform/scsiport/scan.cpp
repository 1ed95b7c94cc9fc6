// Waiting for a request at PASSIVE_LEVEL, and the bus scan that finds the logical units for the
// class drivers.
#include "platform/scsiport/port_internal.h"

#include <memory>

namespace {

constexpr ULONG kScanTimeoutSeconds = 4;
constexpr ULONG kScanWaitSeconds = 60;

void signalDone(SCSI_PORT_REQUEST* request) {
    KeSetEvent(&request->Done, 0, FALSE);
}

struct ScanSlot {
    SCSI_PORT_REQUEST request;
    UCHAR inquiry[INQUIRYDATABUFFERSIZE];
    UCHAR sense[SENSE_BUFFER_SIZE];
};

void prepareInquiry(ScanSlot& slot, ULONG path, ULONG lun) {
    RtlZeroMemory(&slot, sizeof(slot));
    PSCSI_REQUEST_BLOCK srb = &slot.request.Srb;
    srb->Length = sizeof(SCSI_REQUEST_BLOCK);
    srb->Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb->PathId = static_cast<UCHAR>(path);
    srb->TargetId = 0;
    srb->Lun = static_cast<UCHAR>(lun);
    srb->CdbLength = 6;
    srb->Cdb[0] = SCSIOP_INQUIRY;
    srb->Cdb[4] = static_cast<UCHAR>(INQUIRYDATABUFFERSIZE);
    srb->SrbFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
    srb->DataBuffer = slot.inquiry;
    srb->DataTransferLength = INQUIRYDATABUFFERSIZE;
    srb->SenseInfoBuffer = slot.sense;
    srb->SenseInfoBufferLength = SENSE_BUFFER_SIZE;
    srb->TimeOutValue = kScanTimeoutSeconds;
}

// Sends the INQUIRYs of the marked units together and waits for all of them.
void inquire(SCSI_PORT* port, ScanSlot* slots, const bool* send, ULONG count) {
    for (ULONG i = 0; i < count; i++) {
        if (send[i]) {
            KeInitializeEvent(&slots[i].request.Done, NotificationEvent, FALSE);
            slots[i].request.Completion = signalDone;
            qvport::submit(port, &slots[i].request);
        }
    }
    for (ULONG i = 0; i < count; i++) {
        if (send[i]) {
            (void)qvport::waitFor(&slots[i].request, kScanWaitSeconds);
        }
    }
}

bool answered(const ScanSlot& slot) {
    UCHAR status = SRB_STATUS(slot.request.Srb.SrbStatus);
    return status == SRB_STATUS_SUCCESS && slot.request.State == SCSI_REQUEST_IDLE;
}

} // namespace

namespace qvport {

bool waitFor(SCSI_PORT_REQUEST* request, ULONG waitSeconds) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(waitSeconds) * 10000000;
    return KeWaitForSingleObject(&request->Done, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_SUCCESS;
}

bool execute(SCSI_PORT* port, SCSI_PORT_REQUEST* request, ULONG waitSeconds) {
    KeInitializeEvent(&request->Done, NotificationEvent, FALSE);
    request->Completion = signalDone;
    submit(port, request);
    return waitFor(request, waitSeconds);
}

int scanBus(SCSI_PORT* port) {
    const ULONG buses = port->NumberOfBuses;
    const ULONG units = buses * SCSI_MAXIMUM_LOGICAL_UNITS;
    std::unique_ptr<ScanSlot[]> slots(new (std::nothrow) ScanSlot[units]);
    std::unique_ptr<bool[]> send(new (std::nothrow) bool[units]());
    if (!slots || !send) {
        return 0;
    }
    for (ULONG i = 0; i < units; i++) {
        prepareInquiry(slots[i], i / SCSI_MAXIMUM_LOGICAL_UNITS, i % SCSI_MAXIMUM_LOGICAL_UNITS);
    }
    // LUN 0 of every bus first; a bus that does not answer there has no other units.
    for (ULONG path = 0; path < buses; path++) {
        send[path * SCSI_MAXIMUM_LOGICAL_UNITS] = true;
    }
    inquire(port, slots.get(), send.get(), units);
    for (ULONG path = 0; path < buses; path++) {
        UCHAR status = SRB_STATUS(slots[path * SCSI_MAXIMUM_LOGICAL_UNITS].request.Srb.SrbStatus);
        bool absent = status == SRB_STATUS_SELECTION_TIMEOUT || status == SRB_STATUS_NO_DEVICE;
        for (ULONG lun = 0; lun < SCSI_MAXIMUM_LOGICAL_UNITS; lun++) {
            send[path * SCSI_MAXIMUM_LOGICAL_UNITS + lun] = lun != 0 && !absent;
        }
    }
    inquire(port, slots.get(), send.get(), units);

    std::vector<SCSI_PORT_LU_INFO> found;
    for (ULONG i = 0; i < units; i++) {
        const ScanSlot& slot = slots[i];
        if (!answered(slot) || (slot.inquiry[0] >> 5) != 0) {
            continue;
        }
        SCSI_PORT_LU_INFO info{};
        info.PathId = slot.request.Srb.PathId;
        info.TargetId = slot.request.Srb.TargetId;
        info.Lun = slot.request.Srb.Lun;
        RtlCopyMemory(info.InquiryData, slot.inquiry, INQUIRYDATABUFFERSIZE);
        found.push_back(info);
    }
    // A request that did not complete within the wait still belongs to the port; its slot must
    // outlive it, so the slots are given up rather than freed.
    for (ULONG i = 0; i < units; i++) {
        if (slots[i].request.State != SCSI_REQUEST_IDLE) {
            (void)slots.release();
            break;
        }
    }
    std::lock_guard<std::mutex> guard(port->ScanMutex);
    port->ScanResults = found;
    return static_cast<int>(found.size());
}

std::vector<SCSI_PORT_LU_INFO> inquiryData(SCSI_PORT* port) {
    std::lock_guard<std::mutex> guard(port->ScanMutex);
    return port->ScanResults;
}

} // namespace qvport
