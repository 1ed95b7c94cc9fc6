// A target connection in the full feature phase: dispatch by opcode and the handlers of the
// housekeeping PDUs (task management, NOP-Out, Text, Logout, malformed PDUs).
#include "target/connection.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quevi::target {

bool Connection::runScript(const Header& h) {
    ScriptedPdu pdu;
    pdu.header = h;
    std::uint32_t length = dataSegmentLength(h);
    pdu.data.resize(std::min<std::uint32_t>(length, kIoBufferSize));
    if (!readExact(pdu.data.data(), pdu.data.size()) ||
        !discard(paddedLength(length) - pdu.data.size()))
        return false;
    noteReceived(h, pdu.data);
    if (session_) {
        if (h[kOffOpcode] == kOpScsiCommand || h[kOffOpcode] == kOpTaskManagement)
            session_->noteCmdSN(getBe32(h, kOffCmdSN));
        std::lock_guard sessionLock(session_->mutex);
        pdu.expCmdSN = session_->expCmdSN;
    }
    pdu.maxCmdSN = pdu.expCmdSN + std::max<std::uint32_t>(state_.config.cmdWindow, 1) - 1;
    {
        std::lock_guard lock(sendMutex_);
        pdu.statSN = statSN_;
    }
    pdu.send = [this](std::span<const std::uint8_t> bytes) {
        std::lock_guard lock(sendMutex_);
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    };
    faults_.script(pdu);
    std::lock_guard lock(sendMutex_);
    statSN_ += pdu.statSNUsed;
    return true;
}

bool Connection::dispatch(const Header& h) {
    std::uint8_t op = h[kOffOpcode];
    if (faults_.script && std::find(faults_.scriptOpcodes.begin(), faults_.scriptOpcodes.end(),
                                    op) != faults_.scriptOpcodes.end())
        return runScript(h);
    switch (op) {
    case kOpScsiCommand:
        return handleScsiCommand(h);
    case kOpDataOut:
        return handleDataOut(h);
    case kOpNopOut:
    case kOpNopOutAnswer:
        return handleNopOut(h);
    case kOpTaskManagement:
        return handleTaskManagement(h);
    case kOpText:
        return handleText(h);
    case kOpLogout:
        return handleLogout(h);
    default:
        // Another Login, or an opcode nobody sends: refuse it, keep the stream in step.
        return rejectAndSkip(h, op == kOpLogin ? kRejectProtocolError : kRejectNotSupported);
    }
}

// Records a PDU whose data will not be used, refuses it with a Reject that carries its header,
// and consumes its data segment.
bool Connection::rejectAndSkip(const Header& h, std::uint8_t reason) {
    noteReceived(h, {});
    Header rej = buildReject(reason, kHeaderSize);
    if (!send(rej, h, false))
        return false;
    return discard(paddedLength(dataSegmentLength(h)));
}

bool Connection::abortTask(std::uint32_t itt) {
    std::lock_guard lock(taskMutex_);
    for (Task& t : tasks_) {
        if (t.used && t.itt == itt) {
            t.used = false;
            return true;
        }
    }
    return false;
}

bool Connection::handleTaskManagement(const Header& h) {
    if (dataSegmentLength(h) != 0)
        return rejectAndSkip(h, kRejectInvalidField);
    noteReceived(h, {});
    TaskManagementRequest req = parseTaskManagement(h);
    session_->noteCmdSN(req.cmdSN);
    std::uint8_t response = kTmResponseNotSupported;
    if (req.function == kTmAbortTask) {
        bool found = false;
        std::lock_guard lock(session_->mutex);
        for (const auto& member : session_->members)
            if (member->abortTask(req.referencedItt)) {
                found = true;
                break;
            }
        response = found ? kTmResponseDone : kTmResponseNoTask;
    }
    if (faults_.taskManagementResponse >= 0)
        response = static_cast<std::uint8_t>(faults_.taskManagementResponse);
    Header out = buildTaskManagementResponse(req.itt, response);
    return send(out, {}, true);
}

bool Connection::handleNopOut(const Header& h) {
    std::uint32_t length = dataSegmentLength(h);
    if (length > kMaxNopData * 2)
        return rejectAndSkip(h, kRejectInvalidField);
    std::vector<std::uint8_t> data;
    if (!readText(length, data))
        return false;
    noteReceived(h, data);
    NopOut req = parseNopOut(h);
    session_->noteCmdSN(req.cmdSN);
    if (req.answer || req.itt == kReservedTag)
        return true; // answers one of our pings: nothing to send
    NopIn n;
    n.dataLength = static_cast<std::uint32_t>(std::min<std::size_t>(length, kMaxNopData));
    n.lun = req.lun;
    n.itt = req.itt;
    Header out = buildNopIn(n);
    return send(out, std::span<const std::uint8_t>(data).first(n.dataLength), true);
}

// "IP:port,1" where this connection reached the target (the listening address, or the local
// address of the connection when the target listens on every address), in portal group 1.
std::string Connection::portalAddress() const {
    std::string address = state_.config.address;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    char text[INET_ADDRSTRLEN] = {};
    if (address == "0.0.0.0" &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        local.sin_family == AF_INET && ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text))
        address = text;
    return address + ":" + std::to_string(state_.port) + ",1";
}

bool Connection::handleText(const Header& h) {
    std::uint32_t length = dataSegmentLength(h);
    if (length > kMaxTextLength)
        return rejectAndSkip(h, kRejectInvalidField);
    std::vector<std::uint8_t> text;
    if (!readText(length, text))
        return false;
    noteReceived(h, text);
    TextRequest req = parseText(h);
    session_->noteCmdSN(req.cmdSN);
    auto pairs = parseTextPairs(text);
    if (!pairs) {
        Header rej = buildReject(kRejectInvalidField, kHeaderSize);
        return send(rej, h, false);
    }
    std::string answer;
    std::vector<KeyValue> others;
    for (const KeyValue& kv : *pairs) {
        if (kv.key != "SendTargets") {
            others.push_back(kv);
            continue;
        }
        // "All": every target served here; a name: that target if it is served here; empty:
        // the session's own target (none for a discovery session).
        std::string address = portalAddress();
        for (std::size_t t = 0; t < state_.targets.size(); ++t) {
            const std::string& name = state_.targets[t].name;
            bool listed = kv.value == "All" || kv.value == name ||
                          (kv.value.empty() && !session_->discovery && session_->target == t);
            if (!listed)
                continue;
            appendPair(answer, "TargetName", name);
            appendPair(answer, "TargetAddress", address);
        }
    }
    if (!others.empty()) {
        NegotiationPolicy policy = state_.currentNegotiation();
        std::lock_guard lock(session_->mutex);
        answer += session_->negotiator.answer(others, policy, false).text;
    }
    TextResponse r;
    r.final = true;
    r.dataLength = static_cast<std::uint32_t>(answer.size());
    r.itt = req.itt;
    Header out = buildTextResponse(r);
    return send(out, {reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()}, true);
}

bool Connection::handleLogout(const Header& h) {
    if (dataSegmentLength(h) != 0)
        return rejectAndSkip(h, kRejectInvalidField);
    noteReceived(h, {});
    LogoutRequest req = parseLogout(h);
    session_->noteCmdSN(req.cmdSN);
    Header out = buildLogoutResponse(req.itt, 0);
    send(out, {}, true);
    closing_ = true; // logged out: the connection ends after its response
    return true;
}

} // namespace quevi::target
