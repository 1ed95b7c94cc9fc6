// SCSI requests sent straight to the port driver as pass-through requests: one SRB per call, none
// of the class driver's retries (the port's own BUSY resubmission still applies).
#pragma once

#include "tool/submitter.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace quevi::tool {

struct ScsiCommand {
    UCHAR path = 0;
    UCHAR lun = 0;
    std::vector<UCHAR> cdb;
    ULONG dataIn = 0;           // bytes the command reads
    std::vector<UCHAR> dataOut; // bytes the command writes
};

struct ScsiResult {
    bool completed = false; // within the wait
    UCHAR srbStatus = SRB_STATUS_PENDING;
    UCHAR scsiStatus = 0;
    std::vector<UCHAR> data;  // read commands: the bytes transferred
    std::vector<UCHAR> sense; // the sense data when auto-sense returned some
};

struct AbortResult {
    ScsiResult command;
    bool abortCompleted = false;
    UCHAR abortSrbStatus = SRB_STATUS_PENDING;
};

std::vector<UCHAR> inquiryCdb(UCHAR length = INQUIRYDATABUFFERSIZE);
std::vector<UCHAR> readCapacityCdb();
std::vector<UCHAR> testUnitReadyCdb();
std::vector<UCHAR> read10Cdb(uint32_t lba, uint16_t blocks);
std::vector<UCHAR> write10Cdb(uint32_t lba, uint16_t blocks);
// Big-endian 32-bit value at data[offset] (READ CAPACITY answers).
uint32_t be32(const std::vector<UCHAR>& data, size_t offset);

class Scsi {
public:
    explicit Scsi(Submitter& submitter) : submitter_(submitter) {}

    ScsiResult execute(const ScsiCommand& command);
    // Starts the command and, `after` later, sends SRB_FUNCTION_ABORT_COMMAND for it, untagged.
    AbortResult executeAndAbort(const ScsiCommand& command, std::chrono::milliseconds after);
    // SRB_FUNCTION_RESET_BUS on the path; its SRB status.
    ScsiResult resetBus(UCHAR path);
    // SRB_FUNCTION_SHUTDOWN on the path, as a class driver sends it when the system stops.
    ScsiResult shutdown(UCHAR path);

private:
    std::unique_ptr<PortRequest> prepare(const ScsiCommand& command);
    ScsiResult collect(std::unique_ptr<PortRequest>& r, bool completed, ULONG dataIn);
    ScsiResult function(UCHAR function, UCHAR path);

    Submitter& submitter_;
};

} // namespace quevi::tool
