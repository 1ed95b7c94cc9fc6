#include "cli/steps.h"

#include "platform/kernel/host.h"
#include "tool/interruption.h"
#include "tool/sha256.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

namespace quevi::cli {
namespace {

struct StepName {
    const char* name;
    uint32_t minArgs; // numbers after the name, the optional LUN not counted
    StepKind kind;
    bool lun; // a LUN may follow
};

const StepName kSteps[] = {
    {"inquiry", 0, StepKind::Inquiry, true}, {"readcap", 0, StepKind::ReadCap, true},
    {"tur", 0, StepKind::Tur, true},         {"read", 2, StepKind::Read, true},
    {"write", 3, StepKind::Write, true},     {"abort", 3, StepKind::Abort, true},
    {"query", 0, StepKind::Query, false},    {"reset", 0, StepKind::Reset, false},
    {"remove", 0, StepKind::Remove, false},  {"sleep", 1, StepKind::Sleep, false},
    {"events", 0, StepKind::Events, false},
};

constexpr uint32_t kMaxMs = 3600 * 1000;

bool number(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    out = std::stoull(text);
    return out <= max;
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ':')) {
        parts.push_back(part);
    }
    if (!text.empty() && text.back() == ':') {
        parts.emplace_back();
    }
    return parts;
}

std::string hex(const std::vector<UCHAR>& data) {
    return tool::toHex(data);
}

} // namespace

std::optional<Step> parseStep(const std::string& word, std::string& error, uint8_t lun) {
    Step step;
    step.lun = lun;
    if (word.rfind("text:", 0) == 0) {
        step.kind = StepKind::Text;
        step.text = word.substr(5);
        if (step.text.empty()) {
            error = "step 'text:' needs key=value pairs";
            return std::nullopt;
        }
        return step;
    }
    std::vector<std::string> parts = split(word);
    const StepName* found = nullptr;
    for (const StepName& s : kSteps) {
        if (!parts.empty() && parts[0] == s.name) {
            found = &s;
        }
    }
    if (found == nullptr) {
        error = "unknown step '" + word + "'";
        return std::nullopt;
    }
    step.kind = found->kind;
    size_t args = parts.size() - 1;
    if (args < found->minArgs || args > found->minArgs + (found->lun ? 1 : 0)) {
        error = "step '" + word + "' has the wrong number of values";
        return std::nullopt;
    }
    uint64_t v[4] = {};
    const uint64_t limits[4] = {0xFFFFFFFFull, 0xFFFF, 0xFFFFFFFFull, 0xFFFFFFFFull};
    for (size_t i = 0; i < args; i++) {
        bool isLun = found->lun && i == found->minArgs;
        uint64_t max = isLun ? SCSI_MAXIMUM_LOGICAL_UNITS - 1
                             : (found->kind == StepKind::Sleep ? kMaxMs : limits[i]);
        if (found->kind == StepKind::Abort && i == 2) {
            max = kMaxMs;
        }
        if (!number(parts[i + 1], max, v[i])) {
            error = "step '" + word + "' has a bad value '" + parts[i + 1] + "'";
            return std::nullopt;
        }
    }
    if (found->lun && args > found->minArgs) {
        step.lun = static_cast<uint8_t>(v[found->minArgs]);
    }
    switch (step.kind) {
    case StepKind::Read:
    case StepKind::Write:
    case StepKind::Abort:
        step.lba = static_cast<uint32_t>(v[0]);
        step.count = static_cast<uint16_t>(v[1]);
        if (step.count == 0) {
            error = "step '" + word + "' needs a COUNT of at least 1";
            return std::nullopt;
        }
        if (step.kind == StepKind::Write) {
            step.seed = static_cast<uint32_t>(v[2]);
        } else if (step.kind == StepKind::Abort) {
            step.ms = static_cast<uint32_t>(v[2]);
        }
        break;
    case StepKind::Sleep:
        step.ms = static_cast<uint32_t>(v[0]);
        break;
    default:
        break;
    }
    return step;
}

void StepRunner::print(const nlohmann::ordered_json& line) {
    if (stop_ != nullptr && stop_->load()) {
        return;
    }
    // Target text may hold bytes that are not UTF-8; they are shown replaced, never fail the run.
    std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

bool StepRunner::scsiStep(const Step& step) {
    static const char* names[] = {"inquiry", "readcap", "tur", "read", "write"};
    tool::ScsiCommand command;
    command.path = bus_;
    command.lun = step.lun;
    uint32_t blockSize = blockSize_.count(step.lun) != 0 ? blockSize_[step.lun] : 512;
    switch (step.kind) {
    case StepKind::Inquiry:
        command.cdb = tool::inquiryCdb();
        command.dataIn = INQUIRYDATABUFFERSIZE;
        break;
    case StepKind::ReadCap:
        command.cdb = tool::readCapacityCdb();
        command.dataIn = 8;
        break;
    case StepKind::Tur:
        command.cdb = tool::testUnitReadyCdb();
        break;
    case StepKind::Read:
        command.cdb = tool::read10Cdb(step.lba, step.count);
        command.dataIn = step.count * blockSize;
        break;
    default:
        command.cdb = tool::write10Cdb(step.lba, step.count);
        command.dataOut.resize(static_cast<size_t>(step.count) * blockSize);
        for (size_t i = 0; i < command.dataOut.size(); i++) {
            command.dataOut[i] = patternByte(step.seed, i);
        }
        break;
    }
    tool::ScsiResult r = host_.scsi().execute(command);
    if (!r.completed) {
        return false;
    }
    nlohmann::ordered_json line;
    line["step"] = names[static_cast<int>(step.kind)];
    line["lun"] = step.lun;
    line["srb_status"] = r.srbStatus;
    line["scsi_status"] = r.scsiStatus;
    if (!r.sense.empty()) {
        line["sense"] = hex(r.sense);
    }
    switch (step.kind) {
    case StepKind::Inquiry:
        line["data"] = hex(r.data);
        break;
    case StepKind::ReadCap: {
        line["data"] = hex(r.data);
        uint32_t blocks = r.data.size() == 8 ? tool::be32(r.data, 0) + 1 : 0;
        uint32_t size = r.data.size() == 8 ? tool::be32(r.data, 4) : 0;
        line["blocks"] = blocks;
        line["block_size"] = size;
        if (size != 0) {
            blockSize_[step.lun] = size;
        }
        break;
    }
    case StepKind::Read:
        line["bytes"] = r.data.size();
        line["sha256"] = tool::sha256Hex(r.data);
        break;
    case StepKind::Write:
        line["bytes"] = command.dataOut.size();
        line["sha256"] = tool::sha256Hex(command.dataOut);
        break;
    default:
        break;
    }
    print(line);
    return true;
}

bool StepRunner::abortStep(const Step& step) {
    tool::ScsiCommand command;
    command.path = bus_;
    command.lun = step.lun;
    command.cdb = tool::read10Cdb(step.lba, step.count);
    uint32_t blockSize = blockSize_.count(step.lun) != 0 ? blockSize_[step.lun] : 512;
    command.dataIn = step.count * blockSize;
    tool::AbortResult r = host_.scsi().executeAndAbort(command, std::chrono::milliseconds(step.ms));
    if (!r.command.completed || !r.abortCompleted) {
        return false;
    }
    print({{"step", "abort"},
           {"srb_status", r.command.srbStatus},
           {"abort_srb_status", r.abortSrbStatus}});
    return true;
}

bool StepRunner::run(const Step& step) {
    switch (step.kind) {
    case StepKind::Inquiry:
    case StepKind::ReadCap:
    case StepKind::Tur:
    case StepKind::Read:
    case StepKind::Write:
        return scsiStep(step);
    case StepKind::Abort:
        return abortStep(step);
    case StepKind::Query: {
        tool::QueryResult q = host_.tool().query(bus_, ipAddress_);
        if (!q.control.completed) {
            return false;
        }
        print({{"step", "query"},
               {"return_code", q.control.returnCode},
               {"connection_state", q.connectionState}});
        return true;
    }
    case StepKind::Text: {
        tool::TextResult t = host_.tool().sendText(bus_, step.text);
        if (!t.control.completed) {
            return false;
        }
        std::string shown = t.text;
        for (char& c : shown) {
            c = c == '\0' ? ';' : c;
        }
        print({{"step", "text"}, {"buffer_length", t.bufferLength}, {"text", shown}});
        return true;
    }
    case StepKind::Reset: {
        tool::ScsiResult r = host_.scsi().resetBus(bus_);
        if (!r.completed) {
            return false;
        }
        print({{"step", "reset"}, {"srb_status", r.srbStatus}});
        return true;
    }
    case StepKind::Remove: {
        tool::ControlResult c = host_.tool().removeTarget(bus_);
        if (!c.completed) {
            return false;
        }
        print({{"step", "remove"}, {"return_code", c.returnCode}});
        return true;
    }
    case StepKind::Sleep:
        (void)tool::Interruption::sleep(std::chrono::milliseconds(step.ms));
        print({{"step", "sleep"}, {"ms", step.ms}});
        return true;
    case StepKind::Events:
        for (const qvk::ErrorLogEntry& e : qvk::errorLogEntries()) {
            char id[16];
            std::snprintf(id, sizeof id, "0x%08X", e.errorCode);
            std::vector<std::string> strings;
            for (const std::u16string& s : e.strings) {
                strings.push_back(qvk::fromU16(s));
            }
            print({{"step", "event"}, {"id", id}, {"strings", strings}, {"text", e.text}});
        }
        return true;
    }
    return true;
}

} // namespace quevi::cli
