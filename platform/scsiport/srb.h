// The SCSI request block and the request constants the port driver and its miniport share, with
// NT's names and meanings. Only the fields the driver uses are here.
#pragma once

#include "platform/kernel/ntkernel.h"

// SRB functions (SCSI_REQUEST_BLOCK.Function).
constexpr UCHAR SRB_FUNCTION_EXECUTE_SCSI = 0x00;
constexpr UCHAR SRB_FUNCTION_IO_CONTROL = 0x02;
constexpr UCHAR SRB_FUNCTION_RECEIVE_EVENT = 0x03;
constexpr UCHAR SRB_FUNCTION_SHUTDOWN = 0x07;
constexpr UCHAR SRB_FUNCTION_FLUSH = 0x08;
constexpr UCHAR SRB_FUNCTION_ABORT_COMMAND = 0x10;
constexpr UCHAR SRB_FUNCTION_RELEASE_RECOVERY = 0x11;
constexpr UCHAR SRB_FUNCTION_RESET_BUS = 0x12;
constexpr UCHAR SRB_FUNCTION_RESET_DEVICE = 0x13;
constexpr UCHAR SRB_FUNCTION_TERMINATE_IO = 0x14;

// Request status (SCSI_REQUEST_BLOCK.SrbStatus).
constexpr UCHAR SRB_STATUS_PENDING = 0x00;
constexpr UCHAR SRB_STATUS_SUCCESS = 0x01;
constexpr UCHAR SRB_STATUS_ABORTED = 0x02;
constexpr UCHAR SRB_STATUS_ABORT_FAILED = 0x03;
constexpr UCHAR SRB_STATUS_ERROR = 0x04;
constexpr UCHAR SRB_STATUS_BUSY = 0x05;
constexpr UCHAR SRB_STATUS_INVALID_REQUEST = 0x06;
constexpr UCHAR SRB_STATUS_NO_DEVICE = 0x08;
constexpr UCHAR SRB_STATUS_SELECTION_TIMEOUT = 0x0A;
constexpr UCHAR SRB_STATUS_AUTOSENSE_VALID = 0x80;

// Request flags (SCSI_REQUEST_BLOCK.SrbFlags).
constexpr ULONG SRB_FLAGS_DISABLE_AUTOSENSE = 0x00000020;
constexpr ULONG SRB_FLAGS_DATA_IN = 0x00000040;
constexpr ULONG SRB_FLAGS_DATA_OUT = 0x00000080;

constexpr UCHAR SP_UNTAGGED = 0xFF;

// One request. The issuer owns it until the port completes it; while the miniport holds it, only
// the miniport writes SrbStatus, ScsiStatus, DataTransferLength and the sense buffer.
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
    ULONG TimeOutValue;
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    SCSI_REQUEST_BLOCK* NextSrb; // abort requests: the request to abort
    PVOID OriginalRequest;
    PVOID SrbExtension;
    ULONG QueueSortKey;
    UCHAR Cdb[16];
};
using PSCSI_REQUEST_BLOCK = SCSI_REQUEST_BLOCK*;
