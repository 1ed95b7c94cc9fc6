// The SCSI request block and its constants, with NT's names and meanings: what a miniport, the
// port driver and a class driver exchange for every request.
#pragma once

#include "platform/kernel/ntkernel.h"

// One SCSI request. The submitter fills the address, function, CDB, buffers, flags and time-out;
// the port fills the queue tag, the extension and OriginalRequest when it starts the request; the
// miniport sets SrbStatus, ScsiStatus and (for short transfers) DataTransferLength before it
// completes it. Owned by the port from submission to the completion callback; the miniport may
// touch it only between the port's hand-over and its completion notification.
struct SCSI_REQUEST_BLOCK {
    USHORT Length;
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue; // seconds
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    SCSI_REQUEST_BLOCK* NextSrb; // abort: the request to abort
    PVOID OriginalRequest;       // the port's request record
    PVOID SrbExtension;          // the miniport's per-request area, SrbExtensionSize bytes
    ULONG QueueSortKey;
    UCHAR Cdb[16];
};
using PSCSI_REQUEST_BLOCK = SCSI_REQUEST_BLOCK*;

// SRB functions.
constexpr UCHAR SRB_FUNCTION_EXECUTE_SCSI = 0x00;
constexpr UCHAR SRB_FUNCTION_CLAIM_DEVICE = 0x01;
constexpr UCHAR SRB_FUNCTION_IO_CONTROL = 0x02;
constexpr UCHAR SRB_FUNCTION_RECEIVE_EVENT = 0x03;
constexpr UCHAR SRB_FUNCTION_RELEASE_QUEUE = 0x04;
constexpr UCHAR SRB_FUNCTION_SHUTDOWN = 0x07;
constexpr UCHAR SRB_FUNCTION_FLUSH = 0x08;
constexpr UCHAR SRB_FUNCTION_ABORT_COMMAND = 0x10;
constexpr UCHAR SRB_FUNCTION_RELEASE_RECOVERY = 0x11;
constexpr UCHAR SRB_FUNCTION_RESET_BUS = 0x12;
constexpr UCHAR SRB_FUNCTION_RESET_DEVICE = 0x13;
constexpr UCHAR SRB_FUNCTION_TERMINATE_IO = 0x14;

// SRB status values; the two top bits are flags.
constexpr UCHAR SRB_STATUS_PENDING = 0x00;
constexpr UCHAR SRB_STATUS_SUCCESS = 0x01;
constexpr UCHAR SRB_STATUS_ABORTED = 0x02;
constexpr UCHAR SRB_STATUS_ABORT_FAILED = 0x03;
constexpr UCHAR SRB_STATUS_ERROR = 0x04;
constexpr UCHAR SRB_STATUS_BUSY = 0x05;
constexpr UCHAR SRB_STATUS_INVALID_REQUEST = 0x06;
constexpr UCHAR SRB_STATUS_INVALID_PATH = 0x07;
constexpr UCHAR SRB_STATUS_NO_DEVICE = 0x08;
constexpr UCHAR SRB_STATUS_TIMEOUT = 0x09;
constexpr UCHAR SRB_STATUS_SELECTION_TIMEOUT = 0x0A;
constexpr UCHAR SRB_STATUS_BUS_RESET = 0x0E;
constexpr UCHAR SRB_STATUS_REQUEST_FLUSHED = 0x16;
constexpr UCHAR SRB_STATUS_INVALID_LUN = 0x20;
constexpr UCHAR SRB_STATUS_INVALID_TARGET_ID = 0x21;
constexpr UCHAR SRB_STATUS_QUEUE_FROZEN = 0x40;
constexpr UCHAR SRB_STATUS_AUTOSENSE_VALID = 0x80;
constexpr UCHAR SRB_STATUS(UCHAR status) {
    return static_cast<UCHAR>(status & ~(SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN));
}

// SRB flags.
constexpr ULONG SRB_FLAGS_QUEUE_ACTION_ENABLE = 0x00000002;
constexpr ULONG SRB_FLAGS_DISABLE_SYNCH_TRANSFER = 0x00000008;
constexpr ULONG SRB_FLAGS_DISABLE_AUTOSENSE = 0x00000020;
constexpr ULONG SRB_FLAGS_DATA_IN = 0x00000040;
constexpr ULONG SRB_FLAGS_DATA_OUT = 0x00000080;
constexpr ULONG SRB_FLAGS_NO_DATA_TRANSFER = 0x00000000;

// Queue actions and the tag that names no started request.
constexpr UCHAR SRB_SIMPLE_TAG_REQUEST = 0x20;
constexpr UCHAR SP_UNTAGGED = 0xFF;

// SCSI status bytes.
constexpr UCHAR SCSISTAT_GOOD = 0x00;
constexpr UCHAR SCSISTAT_CHECK_CONDITION = 0x02;
constexpr UCHAR SCSISTAT_CONDITION_MET = 0x04;
constexpr UCHAR SCSISTAT_BUSY = 0x08;
constexpr UCHAR SCSISTAT_INTERMEDIATE_COND_MET = 0x14;
constexpr UCHAR SCSISTAT_COMMAND_TERMINATED = 0x22;

// Operation codes.
constexpr UCHAR SCSIOP_TEST_UNIT_READY = 0x00;
constexpr UCHAR SCSIOP_REQUEST_SENSE = 0x03;
constexpr UCHAR SCSIOP_READ6 = 0x08;
constexpr UCHAR SCSIOP_INQUIRY = 0x12;
constexpr UCHAR SCSIOP_READ_CAPACITY = 0x25;
constexpr UCHAR SCSIOP_READ = 0x28;
constexpr UCHAR SCSIOP_WRITE = 0x2A;

// Fixed-format sense data: the bytes read here.
constexpr ULONG SENSE_BUFFER_SIZE = 18;
constexpr int SENSE_KEY_OFFSET = 2;
constexpr int SENSE_ASC_OFFSET = 12;
constexpr UCHAR SENSE_VALID = 0x80;         // byte 0: the information field holds an LBA
constexpr int SENSE_INFORMATION_OFFSET = 3; // 4 bytes, big-endian
constexpr UCHAR SCSI_SENSE_NO_SENSE = 0x0;
constexpr UCHAR SCSI_SENSE_MEDIUM_ERROR = 0x3;
constexpr UCHAR SCSI_SENSE_HARDWARE_ERROR = 0x4;
constexpr UCHAR SCSI_SENSE_ILLEGAL_REQUEST = 0x5;
constexpr UCHAR SCSI_SENSE_UNIT_ATTENTION = 0x6;

// INQUIRY: peripheral type in the low 5 bits of byte 0, qualifier in the top 3.
constexpr ULONG INQUIRYDATABUFFERSIZE = 36;
constexpr UCHAR DIRECT_ACCESS_DEVICE = 0x00;

// The header at the start of the data buffer of an SRB_FUNCTION_IO_CONTROL request (28 bytes,
// little-endian as on the original system).
struct SRB_IO_CONTROL {
    ULONG HeaderLength;
    UCHAR Signature[8];
    ULONG Timeout;
    ULONG ControlCode;
    ULONG ReturnCode;
    ULONG Length;
};
static_assert(sizeof(SRB_IO_CONTROL) == 28, "SRB_IO_CONTROL is 28 bytes");
using PSRB_IO_CONTROL = SRB_IO_CONTROL*;
