#include "target/pdu.h"

#include <algorithm>

namespace quevi::target {
namespace {

Lun8 copyLun(const Header& h) {
    Lun8 lun{};
    std::copy_n(h.begin() + kOffLun, lun.size(), lun.begin());
    return lun;
}

void putLun(Header& h, const Lun8& lun) {
    std::copy(lun.begin(), lun.end(), h.begin() + kOffLun);
}

Header start(std::uint8_t opcode, std::uint8_t flags, std::uint32_t dataLength, std::uint32_t itt) {
    Header h{};
    h[kOffOpcode] = opcode;
    h[kOffFlags] = flags;
    putBe24(h, kOffDataLength, std::min(dataLength, kMaxDataSegment));
    putBe32(h, kOffItt, itt);
    return h;
}

} // namespace

LoginRequest parseLogin(const Header& h) {
    LoginRequest r;
    r.flags = h[kOffFlags];
    r.versionMin = h[kOffVersionMin];
    r.versionMax = h[kOffVersionMax];
    r.dataLength = dataSegmentLength(h);
    r.cid = getBe16(h, kOffCid);
    r.isid = getBe16(h, kOffIsid);
    r.tsid = getBe16(h, kOffTsid);
    r.itt = getBe32(h, kOffItt);
    r.cmdSN = getBe32(h, kOffCmdSN);
    return r;
}

TextRequest parseText(const Header& h) {
    TextRequest r;
    r.flags = h[kOffFlags];
    r.dataLength = dataSegmentLength(h);
    r.itt = getBe32(h, kOffItt);
    r.cmdSN = getBe32(h, kOffCmdSN);
    r.expStatSN = getBe32(h, kOffExpStatSN);
    r.continuationTag = getBe32(h, kOffBufferOffset);
    return r;
}

ScsiCommand parseScsiCommand(const Header& h) {
    ScsiCommand r;
    r.flags = h[kOffFlags];
    r.write = (r.flags & kFlagWrite) != 0;
    r.read = (r.flags & kFlagRead) != 0;
    r.taskAttributes = r.flags & 0x07;
    r.dataLength = dataSegmentLength(h);
    r.lun = copyLun(h);
    r.itt = getBe32(h, kOffItt);
    r.expectedLength = getBe32(h, kOffWord20);
    r.cmdSN = getBe32(h, kOffCmdSN);
    r.expStatSN = getBe32(h, kOffExpStatSN);
    std::copy_n(h.begin() + kOffCdb, kCdbSize, r.cdb.begin());
    return r;
}

DataOut parseDataOut(const Header& h) {
    DataOut r;
    r.final = (h[kOffFlags] & kFlagFinal) != 0;
    r.dataLength = dataSegmentLength(h);
    r.itt = getBe32(h, kOffItt);
    r.ttt = getBe32(h, kOffWord20);
    r.expStatSN = getBe32(h, kOffExpStatSN);
    r.dataSN = getBe32(h, kOffWord36);
    r.bufferOffset = getBe32(h, kOffBufferOffset);
    return r;
}

TaskManagementRequest parseTaskManagement(const Header& h) {
    TaskManagementRequest r;
    r.function = h[kOffFlags] & 0x7F;
    r.final = (h[kOffFlags] & kFlagFinal) != 0;
    r.lun = copyLun(h);
    r.itt = getBe32(h, kOffItt);
    r.referencedItt = getBe32(h, kOffWord20);
    r.cmdSN = getBe32(h, kOffCmdSN);
    r.expStatSN = getBe32(h, kOffExpStatSN);
    r.referencedCmdSN = getBe32(h, kOffMaxCmdSN);
    return r;
}

NopOut parseNopOut(const Header& h) {
    NopOut r;
    r.answer = h[kOffOpcode] == kOpNopOutAnswer;
    r.wantsAnswer = (h[kOffFlags] & kFlagWantAnswer) != 0;
    r.dataLength = dataSegmentLength(h);
    r.lun = copyLun(h);
    r.itt = getBe32(h, kOffItt);
    r.ttt = getBe32(h, kOffWord20);
    r.cmdSN = getBe32(h, kOffCmdSN);
    r.expStatSN = getBe32(h, kOffExpStatSN);
    return r;
}

LogoutRequest parseLogout(const Header& h) {
    LogoutRequest r;
    r.cid = getBe16(h, kOffCid);
    r.reason = h[11];
    r.itt = getBe32(h, kOffItt);
    r.cmdSN = getBe32(h, kOffCmdSN);
    r.expStatSN = getBe32(h, kOffExpStatSN);
    return r;
}

std::uint16_t lunNumber(const Lun8& lun) {
    if ((lun[0] & 0xC0) == 0x40) // flat addressing
        return static_cast<std::uint16_t>(((lun[0] & 0x3F) << 8) | lun[1]);
    return lun[1];
}

Lun8 lunBytes(std::uint16_t number) {
    Lun8 lun{};
    if (number < 256) {
        lun[1] = static_cast<std::uint8_t>(number);
    } else {
        lun[0] = static_cast<std::uint8_t>(0x40 | ((number >> 8) & 0x3F));
        lun[1] = static_cast<std::uint8_t>(number);
    }
    return lun;
}

Header buildLoginResponse(const LoginResponse& r) {
    Header h = start(r.opcode, r.final ? kFlagFinal : 0, r.dataLength, r.itt);
    h[kOffVersionMin] = r.versionMin;
    h[kOffVersionMax] = r.versionMax;
    putBe16(h, kOffIsid, r.isid);
    putBe16(h, kOffTsid, r.tsid);
    h[kOffLoginStatus] = r.status;
    return h;
}

Header buildTextResponse(const TextResponse& r) {
    std::uint8_t flags = (r.final ? kFlagFinal : 0) | (r.more ? kFlagContinue : 0);
    Header h = start(kOpTextResponse, flags, r.dataLength, r.itt);
    putBe32(h, kOffWord20, kReservedTag);
    h[kOffBufferOffset] = r.more ? r.continuationTag : 0;
    return h;
}

Header buildScsiResponse(const ScsiResponse& r) {
    Header h = start(kOpScsiResponse, kFlagFinal | r.residualFlags, r.dataLength, r.itt);
    h[2] = r.status;
    h[3] = r.response;
    putBe32(h, kOffWord20, r.residual);
    return h;
}

Header buildDataIn(const DataIn& r) {
    std::uint8_t flags = (r.final ? kFlagFinal : 0);
    if (r.hasStatus)
        flags |= kFlagStatus | r.residualFlags;
    Header h = start(kOpDataIn, flags, r.dataLength, r.itt);
    if (r.hasStatus) {
        h[3] = r.status;
        putBe32(h, kOffWord20, r.residual);
    }
    putLun(h, r.lun);
    putBe32(h, kOffWord36, r.dataSN);
    putBe32(h, kOffBufferOffset, r.bufferOffset);
    return h;
}

Header buildR2T(const R2T& r) {
    Header h = start(kOpR2T, kFlagFinal, 0, r.itt);
    putLun(h, r.lun);
    putBe32(h, kOffWord20, r.ttt);
    putBe32(h, kOffWord36, r.r2tSN);
    putBe32(h, kOffBufferOffset, r.bufferOffset);
    putBe32(h, kOffDesiredLength, r.desiredLength);
    return h;
}

Header buildTaskManagementResponse(std::uint32_t itt, std::uint8_t response) {
    Header h = start(kOpTaskManagementResponse, kFlagFinal, 0, itt);
    h[36] = response;
    return h;
}

Header buildNopIn(const NopIn& r) {
    Header h = start(kOpNopIn, r.wantsAnswer ? kFlagWantAnswer : 0, r.dataLength, r.itt);
    putLun(h, r.lun);
    putBe32(h, kOffWord20, r.ttt);
    return h;
}

Header buildAsyncMessage(const AsyncMessage& r) {
    Header h = start(kOpAsyncMessage, kFlagFinal, 0, kReservedTag);
    h[37] = r.event;
    h[38] = r.param1[0];
    h[39] = r.param1[1];
    putBe16(h, 40, r.param2);
    putBe16(h, 42, r.param3);
    return h;
}

Header buildLogoutResponse(std::uint32_t itt, std::uint8_t response) {
    Header h = start(kOpLogoutResponse, kFlagFinal, 0, itt);
    h[36] = response;
    return h;
}

Header buildReject(std::uint8_t reason, std::uint32_t dataLength) {
    Header h = start(kOpReject, kFlagFinal, dataLength, kReservedTag);
    h[kOffBufferOffset] = reason;
    return h;
}

void stampSequence(Header& h, std::uint32_t statSN, std::uint32_t expCmdSN,
                   std::uint32_t maxCmdSN) {
    putBe32(h, kOffStatSN, statSN);
    putBe32(h, kOffExpCmdSN, expCmdSN);
    putBe32(h, kOffMaxCmdSN, maxCmdSN);
}

} // namespace quevi::target
