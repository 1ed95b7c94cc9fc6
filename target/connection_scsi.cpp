// A target connection's SCSI work: commands, Data-In for reads and generated data, the R2T and
// Data-Out flow of writes, and status.
#include "target/connection.h"

#include <algorithm>
#include <tuple>

namespace quevi::target {
namespace {

constexpr std::size_t kMaxReorderedSegments = 65536;

std::span<const std::uint8_t> bytesOf(const std::vector<std::uint8_t>& v, std::size_t n) {
    return {v.data(), n};
}

// The blocks a write covered whole read again, as a disk remaps a sector it writes.
void healWritten(LunStore& store, std::uint64_t at, std::uint64_t n) {
    std::uint64_t first = (at + kBlockSize - 1) / kBlockSize;
    std::uint64_t end = (at + n) / kBlockSize;
    if (end > first)
        store.badBlocks().heal(first, end - first);
}

} // namespace

std::uint32_t Connection::responseTag(std::uint32_t itt) const {
    return faults_.unknownTaskTag ? (itt ^ 0x5A5A5A5Au) : itt;
}

std::uint32_t Connection::maxDataPdu() const {
    return std::min<std::uint32_t>(dataPduBytes_, kIoBufferSize);
}

void Connection::ensureIo() {
    if (io_.size() != kIoBufferSize)
        io_.assign(kIoBufferSize, 0);
}

bool Connection::sendStatus(std::uint32_t itt, std::uint8_t status, const Sense* sense,
                            std::uint8_t residualFlags, std::uint32_t residual) {
    if (faults_.withholdStatus) {
        // The status never leaves; the task stays for an abort to find.
        std::lock_guard lock(taskMutex_);
        for (Task& t : tasks_)
            if (!t.used) {
                t = Task{};
                t.used = true;
                t.withheld = true;
                t.itt = itt;
                break;
            }
        return true;
    }
    std::array<std::uint8_t, 2 + kSenseLength> senseData{};
    std::span<const std::uint8_t> data;
    if (sense) {
        senseData[1] = kSenseLength;
        auto fixed = fixedSense(*sense);
        std::copy(fixed.begin(), fixed.end(), senseData.begin() + 2);
        data = senseData;
    }
    ScsiResponse r;
    r.status = status;
    r.residualFlags = status == kStatusGood ? residualFlags : 0;
    r.residual = status == kStatusGood ? residual : 0;
    r.dataLength = static_cast<std::uint32_t>(data.size());
    r.itt = responseTag(itt);
    Header h = buildScsiResponse(r);
    return send(h, data, true);
}

bool Connection::sendDataIn(const ScsiCommand& cmd, std::span<const std::uint8_t> generated,
                            LunStore* store, std::uint64_t storeOffset, std::uint32_t length,
                            std::uint8_t residualFlags, std::uint32_t residual) {
    ensureIo();
    std::uint32_t itt = responseTag(cmd.itt);
    std::uint32_t dataSN = 0;
    if (faults_.dataInPastEnd > 0) {
        std::uint32_t n = std::min<std::uint32_t>(faults_.dataInPastEnd, kIoBufferSize);
        std::fill_n(io_.begin(), n, 0);
        DataIn d;
        d.dataLength = n;
        d.lun = cmd.lun;
        d.itt = itt;
        d.dataSN = dataSN++;
        d.bufferOffset = length;
        Header h = buildDataIn(d);
        if (!send(h, bytesOf(io_, n), false))
            return false;
    }

    // PDU sizes in turn: the negotiated size, or the sizes a fault asks for. Reversed order
    // needs the whole list first; other orders are generated as they go, in constant memory.
    std::size_t turn = 0;
    auto nextSize = [&](std::uint32_t off) {
        std::uint32_t size = maxDataPdu();
        if (!faults_.dataInSizes.empty()) {
            size = faults_.dataInSizes[std::min(turn++, faults_.dataInSizes.size() - 1)];
            size = std::clamp<std::uint32_t>(size, 1, kIoBufferSize);
        }
        return std::min(size, length - off);
    };
    segments_.clear();
    if (faults_.dataInReversed) {
        for (std::uint32_t off = 0; off < length && segments_.size() <= kMaxReorderedSegments;) {
            std::uint32_t size = nextSize(off);
            segments_.emplace_back(off, size);
            off += size;
        }
        if (segments_.size() > kMaxReorderedSegments)
            segments_.clear();
        std::reverse(segments_.begin(), segments_.end());
        turn = 0;
    }

    bool statusInLast = state_.config.statusInDataIn && !faults_.withholdStatus && length > 0;
    bool readFailed = false;
    std::size_t index = 0;
    std::uint32_t forward = 0;
    // PDUs collect in a batch (their data side by side in the I/O buffer) and leave together.
    std::array<Header, kMaxBatch> headers;
    std::array<Outgoing, kMaxBatch> batch;
    std::size_t queued = 0;
    std::size_t used = 0;
    auto flush = [&] {
        bool ok = queued == 0 || sendBatch({batch.data(), queued});
        queued = 0;
        used = 0;
        return ok;
    };
    for (;;) {
        std::uint32_t off, size;
        bool last;
        if (!segments_.empty()) {
            if (index == segments_.size())
                break;
            std::tie(off, size) = segments_[index++];
            last = index == segments_.size();
        } else {
            if (forward >= length)
                break;
            off = forward;
            size = nextSize(off);
            forward += size;
            last = forward >= length;
        }
        if (queued == kMaxBatch || (store && used + size > io_.size()))
            if (!flush())
                return false;
        std::span<const std::uint8_t> data;
        int fd = store ? store->sendableFd() : -1;
        if (fd >= 0) {
            // sent from the page cache by sendRaw
        } else if (store) {
            if (!store->read(storeOffset + off, {io_.data() + used, size})) {
                readFailed = true;
                break;
            }
            data = {io_.data() + used, size};
            used += size;
        } else {
            data = generated.subspan(off, size);
        }
        DataIn d;
        d.final = last;
        d.hasStatus = last && statusInLast;
        d.status = kStatusGood;
        d.residualFlags = residualFlags;
        d.residual = residual;
        d.dataLength = size;
        d.lun = cmd.lun;
        d.itt = itt;
        d.dataSN = dataSN++;
        d.bufferOffset = off;
        headers[queued] = buildDataIn(d);
        batch[queued] = {&headers[queued], data, d.hasStatus};
        if (fd >= 0)
            batch[queued].setFile(fd, storeOffset + off, size);
        ++queued;
    }
    if (!flush())
        return false;
    if (readFailed) {
        Sense s{kSenseMediumError, 0x11, 0, {}}; // unrecovered read error
        return sendStatus(cmd.itt, kStatusCheckCondition, &s, 0, 0);
    }
    if (statusInLast)
        return true;
    return sendStatus(cmd.itt, kStatusGood, nullptr, residualFlags, residual);
}

bool Connection::handleScsiCommand(const Header& h) {
    ScsiCommand cmd = parseScsiCommand(h);
    session_->noteCmdSN(cmd.cmdSN);
    std::span<LunStore* const> luns;
    if (!session_->discovery)
        luns = state_.targets[session_->target].luns;
    std::uint16_t lun = lunNumber(cmd.lun);
    planScsi(cmd.cdb, lun, luns, plan_);
    LunStore* store = lun < luns.size() ? luns[lun] : nullptr;
    std::uint32_t immediate = cmd.dataLength;

    bool malformed = immediate > 0 &&
                     (!cmd.write || immediate > cmd.expectedLength || immediate > dataPduBytes_);
    if (!malformed && plan_.kind == ScsiPlan::Kind::Write && cmd.write)
        return handleWriteCommand(h, cmd, store);

    // Any immediate data of a command that takes none is consumed; the first part is recorded.
    ensureIo();
    std::uint32_t head = std::min<std::uint32_t>(immediate, kIoBufferSize);
    if (!readExact(io_.data(), head) || !discard(paddedLength(immediate) - head))
        return false;
    noteReceived(h, bytesOf(io_, head));

    bool ok = true;
    Sense invalid{kSenseIllegalRequest, kAscInvalidFieldInCdb, 0, {}};
    if (malformed || plan_.kind == ScsiPlan::Kind::Write ||
        (plan_.kind == ScsiPlan::Kind::Read && cmd.write && !cmd.read)) {
        ok = sendStatus(cmd.itt, kStatusCheckCondition, &invalid, 0, 0);
    } else if (plan_.kind == ScsiPlan::Kind::Status) {
        Sense sense = plan_.sense;
        if (plan_.flush && store && !store->flush()) {
            sense = {kSenseMediumError, 0x0C, 0, {}}; // write error
            plan_.status = kStatusCheckCondition;
            plan_.hasSense = true;
        }
        ok = sendStatus(cmd.itt, plan_.status, plan_.hasSense ? &sense : nullptr, 0, 0);
    } else {
        std::uint64_t available =
            plan_.kind == ScsiPlan::Kind::Data ? plan_.dataLength : plan_.length;
        std::uint32_t length =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(available, cmd.expectedLength));
        std::uint8_t flags = 0;
        std::uint32_t residual = 0;
        if (cmd.expectedLength > available) {
            flags = kFlagUnderflow;
            residual = static_cast<std::uint32_t>(cmd.expectedLength - available);
        } else if (available > cmd.expectedLength) {
            flags = kFlagOverflow;
            residual = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(available - cmd.expectedLength, 0xFFFFFFFF));
        }
        if (plan_.kind == ScsiPlan::Kind::Data)
            ok = sendDataIn(cmd, {plan_.data.data(), plan_.dataLength}, nullptr, 0, length, flags,
                            residual);
        else
            ok = sendDataIn(cmd, {}, store, plan_.offset, length, flags, residual);
    }
    if (!ok)
        return false;
    ++commandsDone_;
    return afterCommand();
}

bool Connection::receiveData(const Header& h, LunStore* store, std::uint64_t storeOffset,
                             std::uint64_t storeLength, std::uint64_t bufferOffset,
                             std::uint32_t length, bool& storeFailed) {
    ensureIo();
    std::uint32_t done = 0;
    bool recorded = false;
    while (done < length) {
        std::uint32_t chunk = std::min<std::uint32_t>(length - done, kIoBufferSize);
        if (!readExact(io_.data(), chunk))
            return false;
        if (!recorded) {
            noteReceived(h, bytesOf(io_, chunk));
            recorded = true;
        }
        std::uint64_t pos = bufferOffset + done;
        if (store && pos < storeLength) {
            std::uint64_t n = std::min<std::uint64_t>(chunk, storeLength - pos);
            std::uint64_t at = storeOffset + pos;
            if (!store->write(at, bytesOf(io_, static_cast<std::size_t>(n))))
                storeFailed = true;
            else
                healWritten(*store, at, n);
        }
        done += chunk;
    }
    if (!recorded)
        noteReceived(h, {});
    return discard(paddedLength(length) - length);
}

bool Connection::handleWriteCommand(const Header& h, const ScsiCommand& cmd, LunStore* store) {
    std::uint32_t transfer = cmd.expectedLength;
    std::uint8_t flags = 0;
    std::uint32_t residual = 0;
    if (plan_.length > transfer) {
        flags = kFlagOverflow;
        residual = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(plan_.length - transfer, 0xFFFFFFFF));
    } else if (transfer > plan_.length) {
        flags = kFlagUnderflow;
        residual = static_cast<std::uint32_t>(transfer - plan_.length);
    }
    std::uint64_t storeLength = std::min<std::uint64_t>(plan_.length, transfer);

    std::size_t slot = kMaxTasks;
    {
        std::lock_guard lock(taskMutex_);
        for (std::size_t i = 0; i < kMaxTasks; ++i)
            if (!tasks_[i].used) {
                slot = i;
                break;
            }
        if (slot < kMaxTasks) {
            Task& t = tasks_[slot];
            t = Task{};
            t.used = true;
            t.itt = cmd.itt;
            t.lun = cmd.lun;
            t.store = store;
            t.storeOffset = plan_.offset;
            t.storeLength = storeLength;
            t.expected = static_cast<std::uint32_t>(storeLength); // never more than the CDB moves
            t.received = cmd.dataLength;
            t.nextR2TOffset = cmd.dataLength;
            t.residualFlags = flags;
            t.residual = residual;
        }
    }
    bool storeFailed = false;
    if (!receiveData(h, slot < kMaxTasks ? store : nullptr, plan_.offset, storeLength, 0,
                     cmd.dataLength, storeFailed))
        return false;
    if (slot == kMaxTasks) { // every task slot busy: the initiator retries later
        if (!sendStatus(cmd.itt, kStatusBusy, nullptr, 0, 0))
            return false;
        ++commandsDone_;
        return afterCommand();
    }
    if (storeFailed) {
        std::lock_guard lock(taskMutex_);
        tasks_[slot].failed = true;
    }
    return advanceWrite(slot, cmd.itt);
}

// After data arrived for the task in `slot`: finish it when all data is in, else keep enough
// R2Ts outstanding. Never sends with the task lock held.
bool Connection::advanceWrite(std::size_t slot, std::uint32_t itt) {
    std::array<R2T, kMaxBursts> pending{};
    std::size_t count = 0;
    bool finished = false;
    bool failed = false;
    std::uint8_t flags = 0;
    std::uint32_t residual = 0;
    {
        std::lock_guard lock(taskMutex_);
        Task& t = tasks_[slot];
        if (!t.used || t.itt != itt || t.withheld)
            return true; // aborted meanwhile
        if (t.received >= t.expected) {
            finished = true;
            failed = t.failed;
            flags = t.residualFlags;
            residual = t.residual;
            t.used = false;
        } else {
            std::size_t active = 0;
            for (const Burst& b : t.bursts)
                active += b.used ? 1 : 0;
            std::uint32_t most = std::max<std::uint32_t>(state_.config.maxR2TLength, 1);
            for (Burst& b : t.bursts) {
                if (active >= outstandingR2T_ || t.nextR2TOffset >= t.expected)
                    break;
                if (b.used)
                    continue;
                std::uint32_t length = std::min(most, t.expected - t.nextR2TOffset);
                if (nextTtt_ == kReservedTag)
                    nextTtt_ = 1;
                b = Burst{true, nextTtt_++, t.nextR2TOffset, length, 0, 0};
                R2T& r = pending[count++];
                r.lun = t.lun;
                r.itt = t.itt;
                r.ttt = b.ttt;
                r.r2tSN = t.nextR2TSN++;
                r.bufferOffset = b.offset;
                r.desiredLength = length;
                t.nextR2TOffset += length;
                ++active;
            }
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        Header h = buildR2T(pending[i]);
        if (!send(h, {}, false))
            return false;
    }
    if (!finished)
        return true;
    bool ok;
    if (failed) {
        Sense s{kSenseMediumError, 0x0C, 0, {}};
        ok = sendStatus(itt, kStatusCheckCondition, &s, 0, 0);
    } else {
        ok = sendStatus(itt, kStatusGood, nullptr, flags, residual);
    }
    if (!ok)
        return false;
    ++commandsDone_;
    return afterCommand();
}

bool Connection::handleDataOut(const Header& h) {
    DataOut d = parseDataOut(h);
    std::size_t slot = kMaxTasks;
    bool bad = false;
    LunStore* store = nullptr;
    std::uint64_t storeOffset = 0;
    std::uint64_t storeLength = 0;
    {
        std::lock_guard lock(taskMutex_);
        for (std::size_t i = 0; i < kMaxTasks; ++i)
            if (tasks_[i].used && !tasks_[i].withheld && tasks_[i].itt == d.itt) {
                slot = i;
                break;
            }
        if (slot < kMaxTasks) {
            Task& t = tasks_[slot];
            Burst* burst = nullptr;
            for (Burst& b : t.bursts)
                if (b.used && b.ttt == d.ttt)
                    burst = &b;
            // The data must continue the burst in order, fit in it, and carry the final bit
            // exactly on its last PDU.
            bad = !burst || d.dataSN != burst->nextDataSN ||
                  d.bufferOffset != burst->offset + burst->received ||
                  d.dataLength > burst->length - burst->received || d.dataLength > dataPduBytes_ ||
                  d.final != (burst->received + d.dataLength == burst->length) ||
                  (d.dataLength == 0 && !d.final);
            if (bad) {
                t.used = false;
            } else {
                store = t.store;
                storeOffset = t.storeOffset;
                storeLength = t.storeLength;
            }
        }
    }
    if (slot == kMaxTasks)
        return rejectAndSkip(h, kRejectInvalidField);
    if (bad) {
        if (!rejectAndSkip(h, kRejectInvalidField))
            return false;
        Sense s{kSenseAbortedCommand, 0x4B, 0, {}}; // data phase error
        if (!sendStatus(d.itt, kStatusCheckCondition, &s, 0, 0))
            return false;
        ++commandsDone_;
        return afterCommand();
    }
    bool storeFailed = false;
    if (!receiveData(h, store, storeOffset, storeLength, d.bufferOffset, d.dataLength, storeFailed))
        return false;
    {
        std::lock_guard lock(taskMutex_);
        Task& t = tasks_[slot];
        if (!t.used || t.itt != d.itt)
            return true; // aborted while its data arrived
        t.failed = t.failed || storeFailed;
        for (Burst& b : t.bursts)
            if (b.used && b.ttt == d.ttt) {
                b.received += d.dataLength;
                ++b.nextDataSN;
                if (b.received == b.length)
                    b.used = false;
            }
        t.received += d.dataLength;
    }
    return advanceWrite(slot, d.itt);
}

} // namespace quevi::target
