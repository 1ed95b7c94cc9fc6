#include "tool/config_tool.h"

#include "driver/api/control.h"
#include "platform/kernel/host.h"
#include "tool/login_server.h"

#include <unistd.h>

#include <cstring>

namespace quevi::tool {
namespace {

constexpr size_t kEventNameChars = 127;

// A name no other add of this process (or another process sharing the namespace) uses.
std::string uniqueEventName() {
    static std::atomic<unsigned> counter{0};
    return "\\BaseNamedObjects\\QueviLogin_" + std::to_string(getpid()) + "_" +
           std::to_string(++counter);
}

} // namespace

SecurityPolicy acceptAll() {
    return [](UCHAR, const std::string&) { return true; };
}

SecurityPolicy rejectAll() {
    return [](UCHAR, const std::string&) { return false; };
}

ConfigTool::ConfigTool(Submitter& submitter) : submitter_(submitter) {}

ConfigTool::~ConfigTool() {
    stopServing();
}

std::unique_ptr<PortRequest> ConfigTool::control(ULONG code, size_t length) {
    auto r = makeRequest(SRB_FUNCTION_IO_CONTROL, DUMMY_TARGET_BUS, 0, length);
    r->srb().SrbFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT;
    auto& header = r->record<SRB_IO_CONTROL>();
    header.HeaderLength = sizeof(SRB_IO_CONTROL);
    std::memcpy(header.Signature, "iSCSI", 6);
    header.Timeout = static_cast<ULONG>(submitter_.waitLimit().count());
    header.ControlCode = code;
    header.Length = static_cast<ULONG>(length - sizeof(SRB_IO_CONTROL));
    return r;
}

ControlResult ConfigTool::send(std::unique_ptr<PortRequest>& r) {
    ControlResult result;
    result.completed = submitter_.run(r);
    if (result.completed) {
        result.srbStatus = r->srb().SrbStatus;
        // A request the adapter refused as a whole (e.g. after a shutdown) carries no ReturnCode.
        result.returnCode =
            result.answered() ? r->record<SRB_IO_CONTROL>().ReturnCode : ISCSI_RC_INTERNAL_ERROR;
    }
    return result;
}

AddResult ConfigTool::addTarget(const AddConfig& config, SecurityPolicy policy) {
    AddResult result = beginAdd(config, std::move(policy));
    if (result.bus >= 0) {
        result.complete = completeAdd(static_cast<UCHAR>(result.bus));
    }
    return result;
}

AddResult ConfigTool::beginAdd(const AddConfig& config, SecurityPolicy policy) {
    AddResult result;
    std::string name = uniqueEventName();
    HANDLE handle = nullptr;
    PKEVENT event = qvk::createNamedEvent(name, false, &handle);
    if (event == nullptr) {
        return result;
    }
    auto r =
        control(ISCSI_IOCTL_ADD_TARGET_BEGIN, ADD_REMOVE_IOCTL_FIXED + config.login.size() + 1);
    auto& add = r->record<ADD_REMOVE_IOCTL>();
    add.IpAddress = config.ipAddress;
    add.PortNumber = config.port;
    add.NumConnect = config.connections;
    add.LoginStringLength = static_cast<ULONG>(config.login.size());
    for (size_t i = 0; i < name.size() && i < kEventNameChars; i++) {
        add.LoginEventName[i] = static_cast<WCHAR>(name[i]);
    }
    std::memcpy(r->data.data() + ADD_REMOVE_IOCTL_FIXED, config.login.data(), config.login.size());

    result.begin = send(r);
    ULONG rc = result.begin.returnCode;
    if (!result.begin.answered() || (rc & 0xFF) != ISCSI_RC_LOGIN_PENDING) {
        ZwClose(handle);
        return result;
    }
    auto bus = static_cast<UCHAR>((rc >> 8) & 0xFF);
    result.bus = bus;
    stopServer(bus); // a server left from an earlier target of the bus
    auto step = [this, bus, policy = std::move(policy)](const SecurityStepHooks& hooks) {
        serveSecurityStep(bus, policy, hooks);
    };
    std::lock_guard<std::mutex> guard(mutex_);
    servers_[bus] = std::make_unique<LoginServer>(event, handle, std::move(step));
    return result;
}

ControlResult ConfigTool::completeAdd(UCHAR bus) {
    auto r = control(ISCSI_IOCTL_ADD_TARGET_COMPLETE, ADD_REMOVE_IOCTL_FIXED);
    r->record<ADD_REMOVE_IOCTL>().BusNumber = bus;
    return send(r);
}

ControlResult ConfigTool::removeTarget(UCHAR bus) {
    auto r = control(ISCSI_IOCTL_REMOVE_TARGET, ADD_REMOVE_IOCTL_FIXED);
    r->record<ADD_REMOVE_IOCTL>().BusNumber = bus;
    ControlResult result = send(r);
    if (result.answered() && result.returnCode == ISCSI_RC_SUCCESS) {
        stopServer(bus);
    }
    return result;
}

QueryResult ConfigTool::query(UCHAR bus, uint32_t ipAddress) {
    auto r = control(ISCSI_IOCTL_QUERY_TARGET, sizeof(QUERY_TARGET_IOCTL));
    auto& record = r->record<QUERY_TARGET_IOCTL>();
    record.IpAddress = ipAddress;
    record.BusNumber = bus;
    QueryResult result;
    result.control = send(r);
    if (result.control.completed) {
        result.connectionState = r->record<QUERY_TARGET_IOCTL>().ConnectionState;
    }
    return result;
}

TextResult ConfigTool::sendText(UCHAR bus, const std::string& text) {
    size_t capacity = std::max<size_t>(kTextCapacity, text.size());
    auto r = control(ISCSI_IOCTL_SEND_RECEIVE_TEXT, SEND_RECEIVE_TEXT_IOCTL_FIXED + capacity);
    auto& record = r->record<SEND_RECEIVE_TEXT_IOCTL>();
    record.BusNumber = bus;
    record.BufferLength = static_cast<ULONG>(text.size());
    std::memcpy(r->data.data() + SEND_RECEIVE_TEXT_IOCTL_FIXED, text.data(), text.size());
    TextResult result;
    result.control = send(r);
    if (!result.control.answered()) {
        return result; // refused as a whole: the record still holds the request's own text
    }
    ULONG length = r->record<SEND_RECEIVE_TEXT_IOCTL>().BufferLength;
    if (length == ISCSI_TEXT_REFUSED || length > capacity) {
        return result;
    }
    result.bufferLength = length;
    const char* out = reinterpret_cast<const char*>(r->data.data() + SEND_RECEIVE_TEXT_IOCTL_FIXED);
    result.text.assign(out, length);
    return result;
}

ControlResult ConfigTool::shutdown() {
    auto r = control(ISCSI_IOCTL_SHUTDOWN, sizeof(SRB_IO_CONTROL));
    return send(r);
}

ControlResult ConfigTool::dropSrb() {
    auto r = control(ISCSI_IOCTL_DROP_SRB, sizeof(SRB_IO_CONTROL));
    return send(r);
}

void ConfigTool::serveSecurityStep(UCHAR bus, const SecurityPolicy& policy,
                                   const SecurityStepHooks& hooks) {
    auto r = control(ISCSI_IOCTL_SECURITY_BEGIN, SEND_RECEIVE_TEXT_IOCTL_FIXED + TARGET_TEXT_SIZE);
    r->record<SEND_RECEIVE_TEXT_IOCTL>().BusNumber = bus;
    ControlResult begin = send(r);
    if (!begin.answered() || begin.returnCode != ISCSI_RC_SUCCESS) {
        return; // nothing to answer (the bus was removed meanwhile)
    }
    const char* text =
        reinterpret_cast<const char*>(r->data.data() + SEND_RECEIVE_TEXT_IOCTL_FIXED);
    bool accept = policy(bus, std::string(text, strnlen(text, TARGET_TEXT_SIZE)));
    if (hooks.superseded()) {
        return; // the newer step is served next, with its own text
    }
    auto c = control(ISCSI_IOCTL_SECURITY_COMPLETE, sizeof(SECURITY_COMPLETE_IOCTL));
    auto& complete = c->record<SECURITY_COMPLETE_IOCTL>();
    complete.BusNumber = bus;
    complete.SecurityResult = accept ? 0 : 1;
    hooks.verdict(accept);
    (void)send(c); // refused only when the bus was removed meanwhile
}

SecurityCounts ConfigTool::securityCounts(UCHAR bus) const {
    std::lock_guard<std::mutex> guard(mutex_);
    SecurityCounts total;
    if (auto it = retired_.find(bus); it != retired_.end()) {
        total = it->second;
    }
    if (auto it = servers_.find(bus); it != servers_.end()) {
        SecurityCounts live = it->second->counts();
        total.served += live.served;
        total.accepted += live.accepted;
        total.refused += live.refused;
    }
    return total;
}

void ConfigTool::stopServer(UCHAR bus) {
    std::unique_ptr<LoginServer> server;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = servers_.find(bus);
        if (it == servers_.end()) {
            return;
        }
        server = std::move(it->second);
        servers_.erase(it);
    }
    server->stop();
    std::lock_guard<std::mutex> guard(mutex_);
    SecurityCounts counts = server->counts();
    SecurityCounts& total = retired_[bus];
    total.served += counts.served;
    total.accepted += counts.accepted;
    total.refused += counts.refused;
}

void ConfigTool::stopServing() {
    for (UCHAR bus = 0; bus < ADAPTER_TARGET_BUSES; bus++) {
        stopServer(bus);
    }
}

} // namespace quevi::tool
