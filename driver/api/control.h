// The control requests the configuration tool sends to the adapter (SRB_FUNCTION_IO_CONTROL,
// signature "iSCSI", to the dummy device's bus): codes, records, return codes, and the buses.
#pragma once

#include "platform/scsiport/srb.h"

constexpr int ADAPTER_TARGET_BUSES = 8; // buses 0..7 carry targets
constexpr int ADAPTER_BUSES = 9;        // and bus 8 the dummy device
constexpr UCHAR DUMMY_TARGET_BUS = 8;
// Capacity of a bus's login string and of the login text of its security step, NUL included.
constexpr ULONG TARGET_TEXT_SIZE = 2000;

constexpr ULONG ISCSI_IOCTL_ADD_TARGET_BEGIN = 1;
constexpr ULONG ISCSI_IOCTL_QUERY_TARGET = 2;
constexpr ULONG ISCSI_IOCTL_SHUTDOWN = 7;
constexpr ULONG ISCSI_IOCTL_DROP_SRB = 8;
constexpr ULONG ISCSI_IOCTL_REMOVE_TARGET = 9;
constexpr ULONG ISCSI_IOCTL_SEND_RECEIVE_TEXT = 11;
constexpr ULONG ISCSI_IOCTL_SECURITY_BEGIN = 12;
constexpr ULONG ISCSI_IOCTL_ADD_TARGET_COMPLETE = 13;
constexpr ULONG ISCSI_IOCTL_SECURITY_COMPLETE = 14;

constexpr ULONG ISCSI_RC_SUCCESS = 0;
constexpr ULONG ISCSI_RC_INVALID_STATE = 1;
constexpr ULONG ISCSI_RC_INTERNAL_ERROR = 2;
constexpr ULONG ISCSI_RC_NOT_CONNECTED = 3;
constexpr ULONG ISCSI_RC_NO_FREE_BUS = 5;
constexpr ULONG ISCSI_RC_NOT_FOUND = 6;
constexpr ULONG ISCSI_RC_LOGIN_REJECTED = 7;
constexpr ULONG ISCSI_RC_NOT_REMOVABLE = 8;
constexpr ULONG ISCSI_RC_LOGIN_PENDING = 9; // + 256 x bus
constexpr ULONG ISCSI_RC_NO_LOGIN_EVENT = 10;
constexpr ULONG ISCSI_RC_SECURITY_FAILED = 11;
constexpr ULONG ISCSI_TEXT_REFUSED = 0xFFFFFFFF;

// The records follow the header in the request's data buffer; the offsets are the wire format.
struct ADD_REMOVE_IOCTL {
    SRB_IO_CONTROL Header;
    ULONG IpAddress;
    USHORT PortNumber;
    USHORT Reserved;
    ULONG NumConnect;
    ULONG LoginStringLength;
    WCHAR LoginEventName[128];
    UCHAR BusNumber;
    char LoginString[1]; // LoginStringLength characters and a NUL, at most 1999 characters
};
static_assert(offsetof(ADD_REMOVE_IOCTL, IpAddress) == 0x1C);
static_assert(offsetof(ADD_REMOVE_IOCTL, LoginEventName) == 0x2C);
static_assert(offsetof(ADD_REMOVE_IOCTL, BusNumber) == 0x12C);
static_assert(offsetof(ADD_REMOVE_IOCTL, LoginString) == 0x12D);

struct QUERY_TARGET_IOCTL {
    SRB_IO_CONTROL Header;
    ULONG IpAddress;
    ULONG ConnectionState;
    UCHAR BusNumber;
};
static_assert(offsetof(QUERY_TARGET_IOCTL, ConnectionState) == 0x20);
static_assert(offsetof(QUERY_TARGET_IOCTL, BusNumber) == 0x24);

struct SEND_RECEIVE_TEXT_IOCTL {
    SRB_IO_CONTROL Header;
    UCHAR BusNumber;
    ULONG BufferLength;
    char Text[1]; // up to the end of the request's data buffer
};
static_assert(offsetof(SEND_RECEIVE_TEXT_IOCTL, BufferLength) == 0x20);
static_assert(offsetof(SEND_RECEIVE_TEXT_IOCTL, Text) == 0x24);

struct SECURITY_COMPLETE_IOCTL {
    SRB_IO_CONTROL Header;
    UCHAR BusNumber;
    ULONG SecurityResult;
};
static_assert(offsetof(SECURITY_COMPLETE_IOCTL, SecurityResult) == 0x20);

// Bytes of each record before its variable part: a request shorter than this is refused.
constexpr ULONG ADD_REMOVE_IOCTL_FIXED = offsetof(ADD_REMOVE_IOCTL, LoginString);
constexpr ULONG QUERY_TARGET_IOCTL_FIXED = offsetof(QUERY_TARGET_IOCTL, BusNumber) + 1;
constexpr ULONG SEND_RECEIVE_TEXT_IOCTL_FIXED = offsetof(SEND_RECEIVE_TEXT_IOCTL, Text);
constexpr ULONG SECURITY_COMPLETE_IOCTL_FIXED = sizeof(SECURITY_COMPLETE_IOCTL);

// The text capacity of a text or security-begin request: the data buffer past the fixed part.
inline ULONG iscsiTextCapacity(const SCSI_REQUEST_BLOCK* srb) {
    return srb->DataTransferLength > SEND_RECEIVE_TEXT_IOCTL_FIXED
               ? srb->DataTransferLength - SEND_RECEIVE_TEXT_IOCTL_FIXED
               : 0;
}
