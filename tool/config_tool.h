// The configuration tool: drives the adapter with control requests (SRB_FUNCTION_IO_CONTROL,
// signature "iSCSI") sent as pass-through requests to path 8 of the port driver, so their
// successful completions never touch a target bus.
//
// Adding a target is a conversation. The tool creates a named notification event of its own
// (unsignalled) and names it in ADD_TARGET_BEGIN, which answers at once with the bus. From then on
// a login server thread answers every signal of that event: SECURITY_BEGIN fetches the login text,
// the security policy decides, SECURITY_COMPLETE reports the verdict. It keeps doing so for as long
// as the target stays added, because every reconnection of the session passes the security step
// again. ADD_TARGET_COMPLETE, which the driver answers once session creation for the bus has
// ended, is sent and waited for on the caller's thread; since the security requests are answered
// by the server thread, the conversation cannot deadlock on itself.
//
// Every call returns the request's ReturnCode and the record's outputs; every wait is bounded by
// the submitter's limit. Methods may be called from several threads.
#pragma once

#include "tool/submitter.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace quevi::tool {

// The verdict of the security step: true accepts. Called on the bus's login server thread with
// the login text the driver handed over; it may block (the login waits for it).
using SecurityPolicy = std::function<bool(UCHAR bus, const std::string& loginText)>;
SecurityPolicy acceptAll();
SecurityPolicy rejectAll();

struct AddConfig {
    uint32_t ipAddress = 0; // first octet in the most significant byte
    uint16_t port = 3260;
    uint32_t connections = 1;
    std::string login; // key=value pairs separated by ';'
};

// The outcome of one control request. A request that completed with another SRB status than
// SUCCESS (the adapter refused it as a whole, e.g. after a shutdown) reads as
// ISCSI_RC_INTERNAL_ERROR (2).
struct ControlResult {
    bool completed = false; // the request completed within the wait
    UCHAR srbStatus = SRB_STATUS_PENDING;
    ULONG returnCode = 0;
    bool answered() const { return completed && SRB_STATUS(srbStatus) == SRB_STATUS_SUCCESS; }
};

struct AddResult {
    ControlResult begin;    // ISCSI_RC_LOGIN_PENDING + 256 x bus when accepted
    ControlResult complete; // sent only when begin was accepted
    int bus = -1;           // the bus given to the target, -1 when none
    // The add's return code as the tool saw it: the completion's when begin was accepted.
    ULONG returnCode() const {
        return bus >= 0 && complete.completed ? complete.returnCode : begin.returnCode;
    }
    bool completed() const { return begin.completed && (bus < 0 || complete.completed); }
};

struct QueryResult {
    ControlResult control;
    ULONG connectionState = 0;
};

struct TextResult {
    ControlResult control;
    int64_t bufferLength = -1; // the response's length, -1 when the exchange was refused
    std::string text;          // the response, NUL bytes included
};

// What a bus's login server has done so far.
struct SecurityCounts {
    unsigned served = 0; // verdicts given on security steps
    unsigned accepted = 0;
    unsigned refused = 0;
};

constexpr ULONG kTextCapacity = 8192; // response bytes a text exchange can take

// What a bus's login server offers the security step it runs.
struct SecurityStepHooks {
    // Whether a newer security step began while this one was decided: the login this one was for
    // has ended (e.g. the bus was removed), and a verdict sent now would answer the newer one.
    std::function<bool()> superseded;
    // Counts a verdict about to be sent.
    std::function<void(bool accepted)> verdict;
};

class ConfigTool {
public:
    explicit ConfigTool(Submitter& submitter);
    ~ConfigTool();
    ConfigTool(const ConfigTool&) = delete;
    ConfigTool& operator=(const ConfigTool&) = delete;

    // The whole conversation: begin, then completion.
    AddResult addTarget(const AddConfig& config, SecurityPolicy policy = acceptAll());
    // Its two halves, for callers that act in between (e.g. remove while the security step
    // waits). beginAdd starts the bus's login server when the driver accepted the add.
    AddResult beginAdd(const AddConfig& config, SecurityPolicy policy = acceptAll());
    ControlResult completeAdd(UCHAR bus);

    // Removes the bus; a removed bus's login server stops.
    ControlResult removeTarget(UCHAR bus);
    QueryResult query(UCHAR bus, uint32_t ipAddress = 0);
    // One text exchange: `text` holds key=value pairs separated by ';'.
    TextResult sendText(UCHAR bus, const std::string& text);
    ControlResult shutdown();
    ControlResult dropSrb();

    SecurityCounts securityCounts(UCHAR bus) const;
    // Stops every login server (the security steps of later logins go unanswered).
    void stopServing();

private:
    class LoginServer;

    ControlResult send(std::unique_ptr<PortRequest>& r);
    std::unique_ptr<PortRequest> control(ULONG code, size_t length);
    void stopServer(UCHAR bus);
    // Runs on a login server's thread: one security step for the bus. The verdict is counted
    // before it is sent, so it is counted by the time the login it releases has gone on.
    void serveSecurityStep(UCHAR bus, const SecurityPolicy& policy, const SecurityStepHooks& hooks);

    Submitter& submitter_;
    mutable std::mutex mutex_;
    std::map<UCHAR, std::unique_ptr<LoginServer>> servers_; // guarded by mutex_
    std::map<UCHAR, SecurityCounts> retired_;               // counts of stopped servers
};

} // namespace quevi::tool
