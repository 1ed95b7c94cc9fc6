// The common PDU header: 48 bytes, big-endian numbers (read and written only through the helpers
// below), a 24-bit data segment length, data padded to a multiple of 4. Also the sequence-number
// bookkeeping that every sender and every response handler shares.
//
// Offsets common to every header:
//    0  opcode                     1  flags (0x80 final)
//    5  data segment length (24 bits; byte 4 is not part of it)
//    8  LUN, or opcode-specific    16  initiator task tag (host order, see iscsiPduGetItt)
//   24  CmdSN / StatSN             28  ExpStatSN / ExpCmdSN
//   32  MaxCmdSN (responses)
#pragma once

#include "driver/engine/engine.h"

#include <cstring>

static_assert(ISCSI_HDR_LEN == 48, "PDU headers are 48 bytes");

// Opcodes sent by the initiator.
constexpr UCHAR ISCSI_OP_NOP_OUT = 0x00;
constexpr UCHAR ISCSI_OP_NOP_OUT_ANSWER = 0x40;
constexpr UCHAR ISCSI_OP_SCSI_CMD = 0x01;
constexpr UCHAR ISCSI_OP_TASK_MAN = 0x02;
constexpr UCHAR ISCSI_OP_LOGIN = 0x03;
constexpr UCHAR ISCSI_OP_TEXT = 0x04;
constexpr UCHAR ISCSI_OP_DATA_OUT = 0x05;
constexpr UCHAR ISCSI_OP_LOGOUT = 0x06;
// Opcodes received from the target.
constexpr UCHAR ISCSI_OP_NOP_IN = 0xE0;
constexpr UCHAR ISCSI_OP_SCSI_RSP = 0xE1;
constexpr UCHAR ISCSI_OP_TASK_MAN_RSP = 0xE2;
constexpr UCHAR ISCSI_OP_LOGIN_RSP = 0xE3;
constexpr UCHAR ISCSI_OP_TEXT_RSP = 0xE4;
constexpr UCHAR ISCSI_OP_DATA_IN = 0xE5;
constexpr UCHAR ISCSI_OP_LOGOUT_RSP = 0xE6;
constexpr UCHAR ISCSI_OP_R2T = 0xF1;
constexpr UCHAR ISCSI_OP_ASYNC = 0xF2;
constexpr UCHAR ISCSI_OP_REJECT = 0xFF;

constexpr UCHAR ISCSI_FLAG_FINAL = 0x80;
constexpr ULONG ISCSI_RESERVED_TAG = 0xFFFFFFFF;

// Offsets of the common fields.
constexpr int PDU_OPCODE = 0;
constexpr int PDU_FLAGS = 1;
constexpr int PDU_DATA_LENGTH = 5;
constexpr int PDU_LUN = 8;
constexpr int PDU_ITT = 16;
constexpr int PDU_CMDSN = 24;     // requests
constexpr int PDU_EXPSTATSN = 28; // requests
constexpr int PDU_STATSN = 24;    // responses
constexpr int PDU_EXPCMDSN = 28;  // responses
constexpr int PDU_MAXCMDSN = 32;  // responses

inline ULONG iscsiPduGet32(const UCHAR* hdr, int offset) {
    return static_cast<ULONG>(hdr[offset]) << 24 | static_cast<ULONG>(hdr[offset + 1]) << 16 |
           static_cast<ULONG>(hdr[offset + 2]) << 8 | static_cast<ULONG>(hdr[offset + 3]);
}

inline void iscsiPduPut32(UCHAR* hdr, int offset, ULONG value) {
    hdr[offset] = static_cast<UCHAR>(value >> 24);
    hdr[offset + 1] = static_cast<UCHAR>(value >> 16);
    hdr[offset + 2] = static_cast<UCHAR>(value >> 8);
    hdr[offset + 3] = static_cast<UCHAR>(value);
}

inline USHORT iscsiPduGet16(const UCHAR* hdr, int offset) {
    return static_cast<USHORT>(hdr[offset] << 8 | hdr[offset + 1]);
}

inline void iscsiPduPut16(UCHAR* hdr, int offset, USHORT value) {
    hdr[offset] = static_cast<UCHAR>(value >> 8);
    hdr[offset + 1] = static_cast<UCHAR>(value);
}

inline ULONG iscsiPduGetDataLength(const UCHAR* hdr) {
    return static_cast<ULONG>(hdr[PDU_DATA_LENGTH]) << 16 |
           static_cast<ULONG>(hdr[PDU_DATA_LENGTH + 1]) << 8 |
           static_cast<ULONG>(hdr[PDU_DATA_LENGTH + 2]);
}

inline void iscsiPduSetDataLength(UCHAR* hdr, ULONG length) {
    hdr[PDU_DATA_LENGTH] = static_cast<UCHAR>(length >> 16);
    hdr[PDU_DATA_LENGTH + 1] = static_cast<UCHAR>(length >> 8);
    hdr[PDU_DATA_LENGTH + 2] = static_cast<UCHAR>(length);
}

// A data segment of n bytes occupies n rounded up to a multiple of 4 on the wire.
inline ULONG iscsiPadLength(ULONG n) {
    return (n + 3) & ~ULONG{3};
}

// Initiator task tags from setTaskId travel as they stand in memory (host order), not converted.
inline ULONG iscsiPduGetItt(const UCHAR* hdr) {
    ULONG tag;
    std::memcpy(&tag, hdr + PDU_ITT, sizeof tag);
    return tag;
}

inline void iscsiPduSetItt(UCHAR* hdr, ULONG tag) {
    std::memcpy(hdr + PDU_ITT, &tag, sizeof tag);
}

// Whether the target's command window is closed: cmdSN is ahead of maxCmdSN. Read without the
// session lock, like every window check.
inline bool iscsiWindowClosed(const ISCSI_SESSION* session) {
    return GT_WITH_WRAP(session->cmdSN, session->maxCmdSN) != 0;
}

// Takes the next CmdSN (never 0). Called with the session lock held.
ULONG iscsiTakeCmdSNLocked(ISCSI_SESSION* session);

// Fills CmdSN (taking the next one) and the connection's ExpStatSN into a request header, under the
// session lock.
void iscsiPduFillSequence(ISCSI_CONNECTION* connection, UCHAR* hdr);

// StatSN acceptance: values from expStatSN up to expStatSN + 0x0FFFFFFF are in sequence. Out of
// sequence breaks the transport connection, marks it CONN_FAILED and returns false.
bool iscsiAcceptStatSN(ISCSI_CONNECTION* connection, ULONG statSN);

// Moves expCmdSN and maxCmdSN forward from a response's ExpCmdSN and MaxCmdSN (neither moves when
// MaxCmdSN is behind ExpCmdSN). Called with the session lock held.
void iscsiUpdateWindowLocked(ISCSI_SESSION* session, ULONG expCmdSN, ULONG maxCmdSN);

// The bookkeeping of every status-bearing response: StatSN acceptance, then under the session
// lock the window update and expStatSN = StatSN + 1. 0, or -1 when out of sequence (connection
// broken and CONN_FAILED).
int iscsiPduReceiveSequence(ISCSI_CONNECTION* connection, const UCHAR* hdr);

// The window update alone, under the session lock (R2T, Data-In without status).
void iscsiPduReceiveWindow(ISCSI_CONNECTION* connection, const UCHAR* hdr);

// Takes the target's numbering over: expCmdSN from ExpCmdSN and maxCmdSN from MaxCmdSN as they
// stand, cmdSN from ExpCmdSN only when that is ahead of it (never backwards, so no two commands
// share a CmdSN); with setExpStatSN also expStatSN = StatSN + 1. Under the session lock.
void iscsiPduResynchronise(ISCSI_CONNECTION* connection, const UCHAR* hdr, bool setExpStatSN);
