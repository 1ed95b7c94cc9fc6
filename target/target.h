// The draft-iSCSI target as a library: serves logins, negotiation, the full feature phase over
// memory- or file-backed LUNs, and injects faults on request.
//
// Use from a test (everything bounded, nothing blocks without a time limit):
//
//   quevi::target::TargetConfig config;          // 127.0.0.1, port 0 picks a free port
//   config.luns = {"64M"};                       // LUN 0: 64 MiB in memory ("path" = a file)
//   (or config.targets = {{"disk-a", {"64M"}}, {"disk-b", {"./b.img", "1G"}}} for several)
//   config.negotiation["DataPDULength"] = {KeyAction::Value, "8"};
//   quevi::target::Target target(config);
//   std::string error;
//   if (!target.start(&error)) ...;              // listening once this returns true
//   connect to 127.0.0.1:target.port() ...
//   target.setFaults(faults);                    // takes effect for the next PDU, any time
//   target.waitForPdus(0, 3, 2s);                // connection 0 has recorded 3 PDUs
//   auto pdus = target.pdus(0);                  // PDUs recorded on connection 0 (within budget)
//   target.sendAsyncMessage(0, {.event = 4});    // actions on a live connection
//   target.stop();                               // closes every connection; also in ~Target
//
// Connections are numbered 0, 1, 2... in the order they were accepted. Bounds on what a peer
// can make the target hold (connections, sessions, idle and login time, records) are fields
// of TargetConfig.
#pragma once

#include "target/keys.h"
#include "target/lun.h"
#include "target/wire.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quevi::target {

struct AsyncEvent {
    std::uint8_t event = 1; // 1 reset, 2 logout, 3 drop a connection, 4 drop all
    // Connection to drop (event 3), written as the two bytes the initiator sent as its CID at
    // login; empty means the connection the message goes out on.
    std::optional<std::uint16_t> connectionId;
    std::uint16_t waitSeconds = 0; // second parameter
    std::uint16_t param3 = 0;      // third parameter
};

// One PDU of the full feature phase handed to a test's script (Faults::script) instead of the
// target's own handling; its data segment has been read and recorded. The script answers with
// whatever bytes it likes through `send` (sent as they are, under the connection's send lock:
// nothing is stamped or padded for it); `statSN`, `expCmdSN` and `maxCmdSN` are the values the
// target would use next, and the script reports in `statSNUsed` how many StatSNs it consumed.
struct ScriptedPdu {
    Header header{};
    std::vector<std::uint8_t> data; // at most 256 KiB of it
    std::uint32_t statSN = 0;
    std::uint32_t expCmdSN = 0;
    std::uint32_t maxCmdSN = 0;
    std::function<bool(std::span<const std::uint8_t>)> send;
    std::uint32_t statSNUsed = 0;
};

// Faults. Each applies from the next PDU on while it is set; setFaults may be called at any time.
struct Faults {
    std::chrono::milliseconds responseDelay{0}; // delay before every PDU the target sends
    bool withholdStatus = false;         // SCSI commands get their data but never their status
    std::uint32_t dropAfterPdus = 0;     // close a connection after it received this many PDUs
    std::uint32_t dropAfterCommands = 0; // close a connection after this many SCSI commands
    std::uint8_t loginStatus = 0;        // non-zero: refuse logins with this status
    std::uint8_t loginOpcode = 0xE3;     // opcode of the first Login response
    std::uint8_t loginVersion = 2;       // version byte (offset 3) of Login responses
    std::uint8_t closingOpcode = 0xE3;   // opcode of the answers to the closing exchange
    std::uint8_t closingStatus = 0;      // status of the final closing answer
    bool disagree = false;               // answer every negotiated key with "?"
    bool neverFinal = false;             // never mark a Text answer of the login final
    std::uint32_t closingNotFinal = 0;   // closing answers without the final bit before one with it
    std::vector<std::uint32_t> dataInSizes; // Data-In sizes in turn (the last one repeats)
    bool dataInReversed = false;            // Data-In PDUs of a read in descending offset order
    std::uint32_t dataInPastEnd = 0;        // one more Data-In of this many bytes past the buffer
    bool repeatStatSN = false;              // responses carry the StatSN of the previous one
    bool unknownTaskTag = false;            // responses to commands carry a tag nobody sent
    bool closeWindow = false;               // MaxCmdSN one below ExpCmdSN
    int taskManagementResponse = -1;        // >= 0: answer every task management request with it
    // Logins after the first refuseLoginsAfter that named this target (0: none refused) are
    // refused with refuseLoginStatus, refuseLogins of them (0: every later one): a target that
    // turns an initiator's reconnections away, for a while or for good.
    std::uint32_t refuseLoginsAfter = 0;
    std::uint32_t refuseLogins = 0;
    std::uint8_t refuseLoginStatus = 0x04; // out of resources

    // Unsolicited PDUs, each sent once per connection when it has completed
    // `afterCommands` SCSI commands in the full feature phase (0: right after login).
    std::optional<AsyncEvent> asyncMessage;
    std::uint32_t asyncAfterCommands = 0;
    std::optional<std::uint8_t> rejectReason; // e.g. 0x0F
    std::uint32_t rejectAfterCommands = 0;
    bool oversizeSegment = false; // a NOP-In claiming a 0xFFFFFF-byte segment, then close
    std::uint32_t oversizeAfterCommands = 0;

    // A test's own answers to the PDUs whose opcodes are listed (SCSI commands by default).
    std::function<void(ScriptedPdu&)> script;
    std::vector<std::uint8_t> scriptOpcodes{kOpScsiCommand};

    // Target pings: a NOP-In every nopInterval on every connection in full feature phase.
    std::chrono::milliseconds nopInterval{0};
    std::string nopData;
    bool nopWantAnswer = true;
};

// One target name served at the address, with its own LUNs numbered from 0.
struct NamedTarget {
    std::string name;
    std::vector<std::string> luns; // LUN n: a size (memory) or a file path
};

struct TargetConfig {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
    // The one target served when `targets` is empty.
    std::string name = "quevi-target";
    std::vector<std::string> luns{"64M"}; // LUN n: a size (memory) or a file path
    // Several targets on this address; when not empty, `name` and `luns` are not used. Every
    // name must differ; a login names one of them, and SendTargets=All lists them all.
    std::vector<NamedTarget> targets;
    NegotiationPolicy negotiation;
    bool statusInDataIn = true;      // status in the last Data-In, else a separate SCSI Response
    std::uint32_t cmdWindow = 32;    // MaxCmdSN = ExpCmdSN + cmdWindow - 1
    std::uint32_t initialStatSN = 1; // first StatSN of every connection
    std::uint32_t maxR2TLength = 256 * 1024;   // bytes asked for by one R2T
    std::uint32_t maxOutstandingR2T = 8;       // per command, also bounded by the negotiated value
    bool record = true;                        // record received PDUs per connection
    std::uint32_t recordDataLimit = 64 * 1024; // data bytes kept per recorded PDU
    // Everything kept about connections (their records and recorded PDUs) costs at most this
    // many bytes: past it the oldest recorded PDUs are dropped first, then the records of the
    // oldest closed connections.
    std::size_t recordBudget = 64 << 20;
    std::uint32_t maxConnections = 256; // open at once; more are closed as soon as accepted
    std::uint32_t maxSessions = 64;     // more logins are refused with status 4
    std::chrono::milliseconds loginTimeout{30000}; // a login phase that takes longer ends
    // A full feature connection that has sent nothing for idleTimeout gets a NOP-In asking for
    // an answer; when nothing at all arrives within pingTimeout after it, the connection is
    // dropped. Zero idleTimeout: never pinged, never dropped for idling.
    std::chrono::milliseconds idleTimeout{30000};
    std::chrono::milliseconds pingTimeout{30000};
    Faults faults;
};

struct RecordedPdu {
    Header header{};
    std::uint32_t dataLength = 0;   // as the header declared it
    std::vector<std::uint8_t> data; // the first recordDataLimit bytes of it (without padding)
    std::uint8_t opcode() const { return header[0]; }
};

struct ConnectionInfo {
    std::size_t index = 0;
    std::uint16_t cid = 0;
    std::uint16_t isid = 0;
    std::uint16_t tsid = 0;
    bool loggedIn = false; // reached the full feature phase
    bool discovery = false;
    bool open = true;
    std::size_t pduCount = 0;       // PDUs received
    std::size_t droppedRecords = 0; // recorded PDUs dropped to stay within the budget
};

class TargetState;

class Target {
public:
    explicit Target(TargetConfig config = {});
    ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // Opens the LUNs, binds and starts serving. False (with a message) on failure.
    bool start(std::string* error = nullptr);
    // Stops accepting, closes every connection and waits for their threads. Idempotent.
    void stop();
    // Serves an already connected stream socket as the next connection, on the calling thread,
    // until it ends; the target owns the socket. False (socket closed) when the connection
    // limit is reached. For in-process transports such as a socket pair; needs start().
    bool serve(int fd);

    std::uint16_t port() const;
    const std::string& address() const;

    void setFaults(Faults faults);
    Faults faults() const;
    void setNegotiation(NegotiationPolicy policy);

    LunStore* lun(std::size_t n) const; // of the first target; null when there is none
    LunStore* lun(const std::string& target, std::size_t n) const; // null when there is none

    std::size_t connectionCount() const; // connections accepted so far
    std::size_t sessionCount() const;    // sessions alive now
    std::optional<ConnectionInfo> connection(std::size_t index) const;
    std::vector<RecordedPdu> pdus(std::size_t index) const;

    // Bounded waits; true when the condition held before the time ran out.
    bool waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForPdus(std::size_t index, std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForLogin(std::size_t index, std::chrono::milliseconds timeout) const;
    bool waitForClosed(std::size_t index, std::chrono::milliseconds timeout) const;

    // Actions on a connection in the full feature phase; false when it is not there.
    bool sendNopIn(std::size_t index, std::span<const std::uint8_t> data, bool wantAnswer);
    bool sendAsyncMessage(std::size_t index, const AsyncEvent& event);
    bool sendReject(std::size_t index, std::uint8_t reason);
    bool dropConnection(std::size_t index);

private:
    std::unique_ptr<TargetState> state_;
};

} // namespace quevi::target
