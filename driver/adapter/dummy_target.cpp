// The dummy device on bus 8: answers INQUIRY and REQUEST SENSE on LUN 0 and refuses everything
// else with sense data. It never reaches the engine.
#include "driver/adapter/adapter.h"

UCHAR saveDummyTargetSense[20];

namespace {

constexpr ULONG kStandardInquiryLength = 36;

const UCHAR kInquiry[kStandardInquiryLength] = {
    0x1F, 0x00, 0x04, 0x02, 0x1F, 0x00, 0x00, 0x00, 'Q', 'u', 'e', 'v',
    ' ',  ' ',  ' ',  ' ',  'D',  'u',  'm',  'm',  'y', ' ', 'D', 'e',
    'v',  'i',  'c',  'e',  ' ',  ' ',  ' ',  ' ',  ' ', ' ', ' ', ' '};

struct Sense {
    UCHAR bytes[SENSE_BUFFER_SIZE];
};

Sense makeSense(UCHAR key, UCHAR asc) {
    Sense s{};
    s.bytes[0] = 0x70;
    s.bytes[SENSE_KEY_OFFSET] = key;
    s.bytes[SENSE_ASC_OFFSET] = asc;
    return s;
}

const Sense kNoError = makeSense(SCSI_SENSE_NO_SENSE, 0x00);
const Sense kLunNotSupported = makeSense(SCSI_SENSE_ILLEGAL_REQUEST, 0x25);
const Sense kInvalidField = makeSense(SCSI_SENSE_ILLEGAL_REQUEST, 0x24);
const Sense kHardwareError = makeSense(SCSI_SENSE_HARDWARE_ERROR, 0x00);

// Copies up to `limit` bytes of `from` to the data buffer and sets the transfer length to what
// was copied.
void returnData(PSCSI_REQUEST_BLOCK srb, const UCHAR* from, ULONG limit) {
    ULONG length = srb->DataBuffer != nullptr ? srb->DataTransferLength : 0;
    if (length > limit) {
        length = limit;
    }
    srb->DataTransferLength = length;
    RtlCopyMemory(srb->DataBuffer, from, length);
}

// CHECK CONDITION with the sense delivered by autosense, or left for REQUEST SENSE.
void returnSense(PSCSI_REQUEST_BLOCK srb, const Sense& sense) {
    if (srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE) {
        srb->SrbStatus = SRB_STATUS_SUCCESS;
    } else {
        ULONG length = srb->SenseInfoBuffer != nullptr ? srb->SenseInfoBufferLength : 0;
        if (length > SENSE_BUFFER_SIZE) {
            length = SENSE_BUFFER_SIZE;
        }
        RtlCopyMemory(srb->SenseInfoBuffer, sense.bytes, length);
        srb->SrbStatus = SRB_STATUS_AUTOSENSE_VALID;
    }
    srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
}

} // namespace

int SrbExecScsiDummyTarget(PSCSI_REQUEST_BLOCK srb) {
    const UCHAR* cdb = srb->Cdb;
    if (srb->Lun != 0) {
        if (cdb[0] == SCSIOP_REQUEST_SENSE) {
            returnData(srb, kLunNotSupported.bytes, SENSE_BUFFER_SIZE);
        } else {
            returnSense(srb, kLunNotSupported);
        }
        return 0;
    }
    const Sense* sense = &kNoError;
    if (cdb[0] == SCSIOP_REQUEST_SENSE) {
        returnData(srb, saveDummyTargetSense, SENSE_BUFFER_SIZE);
    } else if (cdb[0] == SCSIOP_INQUIRY && (cdb[1] & 0x03) == 0 && cdb[2] == 0 && cdb[5] == 0) {
        returnData(srb, kInquiry, kStandardInquiryLength);
    } else if (cdb[0] == SCSIOP_INQUIRY) {
        sense = &kInvalidField;
        returnSense(srb, *sense);
    } else {
        sense = &kHardwareError;
        returnSense(srb, *sense);
    }
    if (srb->SrbStatus == SRB_STATUS_AUTOSENSE_VALID) {
        RtlCopyMemory(saveDummyTargetSense, kNoError.bytes, SENSE_BUFFER_SIZE);
    } else {
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        RtlCopyMemory(saveDummyTargetSense, sense->bytes, SENSE_BUFFER_SIZE);
    }
    return 0;
}

int SrbStartIoDummyTarget(PSCSI_REQUEST_BLOCK srb) {
    if (srb->Function == SRB_FUNCTION_EXECUTE_SCSI) {
        SrbExecScsiDummyTarget(srb);
    } else {
        srb->SrbStatus = SRB_STATUS_ERROR;
    }
    iscsiOScompleteCommand(srb, srb->ScsiStatus, 0);
    return 0;
}
