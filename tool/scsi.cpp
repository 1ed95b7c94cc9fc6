#include "tool/scsi.h"

#include <algorithm>
#include <thread>

namespace quevi::tool {

std::vector<UCHAR> inquiryCdb(UCHAR length) {
    return {SCSIOP_INQUIRY, 0, 0, 0, length, 0};
}

std::vector<UCHAR> readCapacityCdb() {
    return {SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}

std::vector<UCHAR> testUnitReadyCdb() {
    return {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
}

namespace {

std::vector<UCHAR> rw10(UCHAR op, uint32_t lba, uint16_t blocks) {
    return {op,
            0,
            static_cast<UCHAR>(lba >> 24),
            static_cast<UCHAR>(lba >> 16),
            static_cast<UCHAR>(lba >> 8),
            static_cast<UCHAR>(lba),
            0,
            static_cast<UCHAR>(blocks >> 8),
            static_cast<UCHAR>(blocks),
            0};
}

} // namespace

std::vector<UCHAR> read10Cdb(uint32_t lba, uint16_t blocks) {
    return rw10(SCSIOP_READ, lba, blocks);
}

std::vector<UCHAR> write10Cdb(uint32_t lba, uint16_t blocks) {
    return rw10(SCSIOP_WRITE, lba, blocks);
}

uint32_t be32(const std::vector<UCHAR>& data, size_t offset) {
    if (data.size() < offset + 4) {
        return 0;
    }
    return uint32_t{data[offset]} << 24 | uint32_t{data[offset + 1]} << 16 |
           uint32_t{data[offset + 2]} << 8 | data[offset + 3];
}

std::unique_ptr<PortRequest> Scsi::prepare(const ScsiCommand& command) {
    size_t length = command.dataOut.empty() ? command.dataIn : command.dataOut.size();
    auto r = makeRequest(SRB_FUNCTION_EXECUTE_SCSI, command.path, command.lun, length);
    SCSI_REQUEST_BLOCK& srb = r->srb();
    srb.CdbLength = static_cast<UCHAR>(std::min<size_t>(command.cdb.size(), sizeof srb.Cdb));
    std::copy_n(command.cdb.begin(), srb.CdbLength, srb.Cdb);
    if (!command.dataOut.empty()) {
        std::copy(command.dataOut.begin(), command.dataOut.end(), r->data.begin());
        srb.SrbFlags = SRB_FLAGS_DATA_OUT;
    } else if (command.dataIn != 0) {
        srb.SrbFlags = SRB_FLAGS_DATA_IN;
    }
    return r;
}

ScsiResult Scsi::collect(std::unique_ptr<PortRequest>& r, bool completed, ULONG dataIn) {
    ScsiResult result;
    result.completed = completed;
    if (!completed) {
        return result;
    }
    const SCSI_REQUEST_BLOCK& srb = r->srb();
    result.srbStatus = srb.SrbStatus;
    result.scsiStatus = srb.ScsiStatus;
    if (dataIn != 0 && SRB_STATUS(srb.SrbStatus) == SRB_STATUS_SUCCESS) {
        ULONG got = std::min(srb.DataTransferLength, dataIn);
        result.data.assign(r->data.begin(), r->data.begin() + got);
    }
    if ((srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) != 0) {
        ULONG length = std::min<ULONG>(srb.SenseInfoBufferLength, SENSE_BUFFER_SIZE);
        result.sense.assign(r->sense, r->sense + length);
    }
    return result;
}

ScsiResult Scsi::execute(const ScsiCommand& command) {
    auto r = prepare(command);
    bool completed = submitter_.run(r);
    return collect(r, completed, command.dataIn);
}

AbortResult Scsi::executeAndAbort(const ScsiCommand& command, std::chrono::milliseconds after) {
    auto r = prepare(command);
    submitter_.start(*r);
    std::this_thread::sleep_for(after);
    auto abort = makeRequest(SRB_FUNCTION_ABORT_COMMAND, command.path, command.lun, 0);
    abort->srb().NextSrb = &r->srb();
    abort->srb().QueueTag = SP_UNTAGGED;
    AbortResult result;
    // The abort names the command by its SRB, so the command's record must outlive the abort:
    // it is waited for only after the abort has completed (or given to the submitter).
    result.abortCompleted = submitter_.run(abort);
    if (result.abortCompleted) {
        result.abortSrbStatus = abort->srb().SrbStatus;
    }
    bool completed = submitter_.finish(r);
    result.command = collect(r, completed, command.dataIn);
    if (!result.abortCompleted && r) {
        (void)r.release(); // the abort the port still holds names it
    }
    return result;
}

ScsiResult Scsi::function(UCHAR function, UCHAR path) {
    auto r = makeRequest(function, path, 0, 0);
    bool completed = submitter_.run(r);
    return collect(r, completed, 0);
}

ScsiResult Scsi::resetBus(UCHAR path) {
    return function(SRB_FUNCTION_RESET_BUS, path);
}

ScsiResult Scsi::shutdown(UCHAR path) {
    return function(SRB_FUNCTION_SHUTDOWN, path);
}

} // namespace quevi::tool
