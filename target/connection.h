// Internal: one TCP connection of the target, served by its own thread: login phase, then the
// full feature phase. Other threads may send unsolicited PDUs on it (NOP-In, Asynchronous
// Message, Reject) and abort its tasks; the send lock keeps every PDU whole and its StatSN in
// order.
#pragma once

#include "target/pdu.h"
#include "target/scsi.h"
#include "target/target_state.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace quevi::target {

inline constexpr std::size_t kIoBufferSize = 256 * 1024;
inline constexpr std::size_t kMaxTasks = 64;
inline constexpr std::size_t kMaxBursts = 16;
inline constexpr std::uint32_t kMaxNopData = 4096;
inline constexpr std::size_t kMaxBatch = 16; // Data-In PDUs handed to the socket in one call

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(TargetState& state, int fd, std::size_t index);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void run(); // the connection's thread
    void shutdown();
    std::size_t index() const { return index_; }

    // From other threads; false unless the connection is in the full feature phase.
    bool sendNopIn(std::span<const std::uint8_t> data, bool wantAnswer);
    bool sendAsync(const AsyncEvent& event);
    bool sendReject(std::uint8_t reason, std::span<const std::uint8_t> data);
    // Aborts a task of this connection (called under the session lock); true when found.
    bool abortTask(std::uint32_t itt);

private:
    // One write command waiting for its data.
    struct Burst {
        bool used = false;
        std::uint32_t ttt = 0;
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
        std::uint32_t received = 0;
        std::uint32_t nextDataSN = 0;
    };
    struct Task {
        bool used = false;
        bool withheld = false; // status withheld: only an abort ends it
        std::uint32_t itt = 0;
        Lun8 lun{};
        LunStore* store = nullptr;
        std::uint64_t storeOffset = 0;
        std::uint64_t storeLength = 0; // bytes of the transfer that land in the store
        std::uint32_t expected = 0;    // bytes the initiator will send in all
        std::uint32_t received = 0;
        std::uint32_t nextR2TOffset = 0;
        std::uint32_t nextR2TSN = 0;
        std::uint8_t residualFlags = 0;
        std::uint32_t residual = 0;
        bool failed = false;
        std::array<Burst, kMaxBursts> bursts{};
    };

    enum class Read { Ok, Closed, Idle };

    // Receiving. A header waits until `deadline`; once its first byte is in, the rest of the
    // header and then the PDU's data must arrive by pduDeadline_.
    Read readHeader(Header& h, std::chrono::steady_clock::time_point deadline);
    bool readExact(std::uint8_t* p, std::size_t n);
    int awaitReadable();
    bool discard(std::uint64_t n);
    bool readText(std::uint32_t length, std::vector<std::uint8_t>& out);
    void noteReceived(const Header& h, std::span<const std::uint8_t> data);
    bool countPdu();

    // Sending. `consume` advances StatSN; `status` marks a response that carries a command's
    // status (subject to the StatSN faults).
    // Several PDUs go out in one call, stamped in order.
    // A PDU to send: its data either in memory or, when fileLength is non-zero, the bytes of
    // file descriptor fd from fileOffset on, sent from the page cache without a copy.
    struct Outgoing {
        Header* header;
        std::span<const std::uint8_t> data;
        bool consume;
        int fd = -1;
        std::uint64_t fileOffset = 0;
        std::uint32_t fileLength = 0;
        void setFile(int from, std::uint64_t offset, std::uint32_t length) {
            fd = from;
            fileOffset = offset;
            fileLength = length;
        }
    };
    bool send(Header& h, std::span<const std::uint8_t> data, bool consume);
    bool sendBatch(std::span<Outgoing> pdus);
    bool sendRaw(std::span<const Outgoing> pdus);
    void refreshFaults();

    // Login phase.
    bool loginPhase();
    bool handleLogin(const Header& h, const std::vector<std::uint8_t>& text);
    bool refuseLogin(std::uint16_t isid, std::uint32_t itt, std::uint8_t status);

    // Full feature phase.
    void fullFeaturePhase();
    bool dispatch(const Header& h);
    bool runScript(const Header& h); // a test's script answers the PDU
    bool handleScsiCommand(const Header& h);
    bool handleRead(const ScsiCommand& cmd, LunStore& store);
    bool handleWriteCommand(const Header& h, const ScsiCommand& cmd, LunStore* store);
    bool receiveData(const Header& h, LunStore* store, std::uint64_t storeOffset,
                     std::uint64_t storeLength, std::uint64_t bufferOffset, std::uint32_t length,
                     bool& storeFailed);
    bool advanceWrite(std::size_t slot, std::uint32_t itt);
    void ensureIo();
    bool handleDataOut(const Header& h);
    bool handleTaskManagement(const Header& h);
    bool handleNopOut(const Header& h);
    bool handleText(const Header& h);
    std::string portalAddress() const;
    bool handleLogout(const Header& h);
    bool rejectAndSkip(const Header& h, std::uint8_t reason);
    bool sendDataIn(const ScsiCommand& cmd, std::span<const std::uint8_t> generated,
                    LunStore* store, std::uint64_t storeOffset, std::uint32_t length,
                    std::uint8_t residualFlags, std::uint32_t residual);
    bool sendStatus(std::uint32_t itt, std::uint8_t status, const Sense* sense,
                    std::uint8_t residualFlags, std::uint32_t residual);
    bool afterCommand();
    bool periodicWork();
    std::uint32_t responseTag(std::uint32_t itt) const;
    std::uint32_t maxDataPdu() const;

    TargetState& state_;
    int fd_;
    std::size_t index_;
    std::atomic<bool> fullFeature_{false};
    std::atomic<bool> closing_{false};
    std::shared_ptr<Session> session_;
    std::uint16_t cid_ = 0;

    // Guarded by sendMutex_: the write side of the socket and the StatSN.
    std::mutex sendMutex_;
    std::uint32_t statSN_ = 1;
    Faults sendFaults_;
    std::uint64_t sendFaultsVersion_ = 0;

    // Connection thread only.
    Faults faults_;
    std::uint64_t faultsVersion_ = 0;
    std::uint32_t pdusReceived_ = 0;
    std::uint32_t commandsDone_ = 0;
    std::uint32_t closingAnswers_ = 0;
    bool asyncSent_ = false;
    bool rejectSent_ = false;
    bool oversizeSent_ = false;
    std::chrono::steady_clock::time_point nextPing_{};
    std::chrono::steady_clock::time_point pduDeadline_{};
    std::chrono::steady_clock::time_point lastReceived_{};
    std::uint32_t nextTtt_ = 1;
    std::uint32_t dataPduBytes_ = 16 * 512;
    bool immediateData_ = true;
    std::uint32_t outstandingR2T_ = 8;
    std::vector<std::uint8_t> io_; // reused I/O buffer, kIoBufferSize once first needed
    ScsiPlan plan_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> segments_; // reused (offset, length)

    // Guarded by taskMutex_ (taken by abortTask from another connection's thread).
    std::mutex taskMutex_;
    std::array<Task, kMaxTasks> tasks_{};
};

} // namespace quevi::target
