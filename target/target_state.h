// Internal: the state a running target shares between its listener, its connections and the
// public Target object, and the session record that joins connections by ISID and TSID.
//
// Lock order: a connection's send lock, then a session's lock, then a connection's task lock;
// TargetState::mutex is never held while taking any of them, and none of them is held while
// taking TargetState::mutex except where noted at the function.
#pragma once

#include "target/keys.h"
#include "target/target.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quevi::target {

class Connection;

struct Session {
    std::uint16_t isid = 0;
    std::uint16_t tsid = 0;
    bool discovery = false;
    std::size_t target = 0;    // index in TargetState::targets; not used by discovery sessions
    std::string initiatorName; // a joining connection must name the same initiator

    std::mutex mutex;
    std::uint32_t expCmdSN = 1;                       // guarded by mutex
    Negotiator negotiator;                            // guarded by mutex
    std::vector<std::shared_ptr<Connection>> members; // guarded by mutex

    // Takes note of a CmdSN the initiator used: ExpCmdSN moves past it, never back.
    void noteCmdSN(std::uint32_t cmdSN) {
        std::lock_guard lock(mutex);
        if (!serialGreater(expCmdSN, cmdSN))
            expCmdSN = nextCmdSN(cmdSN);
    }
};

// What the target keeps about a connection. While the connection is open `live` reaches it;
// once it has closed the record holds only what it records.
struct ConnectionRecord {
    ConnectionInfo info;
    std::weak_ptr<Connection> live;
};

struct RecordedFrom {
    std::size_t connection;
    RecordedPdu pdu;
};

// A target name the state serves and its LUNs (index = LUN number), fixed once started.
struct ServedTarget {
    std::string name;
    std::vector<LunStore*> luns;
};

class TargetState {
public:
    explicit TargetState(TargetConfig c) : config(std::move(c)), faults(config.faults) {}

    TargetConfig config; // fixed once started, except as guarded below
    std::vector<std::unique_ptr<LunStore>> lunStores;
    std::vector<ServedTarget> targets; // config.targets, or the one of config.name and luns

    // The index of the served target of this name, or -1.
    int findTarget(std::string_view name) const {
        for (std::size_t i = 0; i < targets.size(); ++i)
            if (targets[i].name == name)
                return static_cast<int>(i);
        return -1;
    }

    mutable std::mutex mutex;
    mutable std::condition_variable changed;     // any record or connection change
    Faults faults;                               // guarded by mutex
    NegotiationPolicy negotiation;               // guarded by mutex
    std::atomic<std::uint64_t> faultsVersion{1}; // bumped by every setFaults
    // Records by connection index, and the PDUs recorded on all connections, oldest first.
    // Together they cost at most config.recordBudget bytes: past it the oldest recorded PDUs
    // go first, then the records of the oldest closed connections.
    std::map<std::size_t, std::unique_ptr<ConnectionRecord>> records; // guarded by mutex
    std::deque<RecordedFrom> recorded;                                // guarded by mutex
    std::size_t recordedBytes = 0;                                    // guarded by mutex
    std::size_t accepted = 0;                                         // guarded by mutex
    std::map<std::uint16_t, std::shared_ptr<Session>> sessions;       // by TSID; guarded by mutex
    std::uint16_t nextTsid = 1;                                       // guarded by mutex
    std::size_t openConnections = 0;                                  // guarded by mutex
    std::atomic<std::uint32_t> logins{0}; // Login requests that named this target, for the faults

    std::atomic<bool> stopping{false};
    int listenFd = -1;
    std::uint16_t port = 0;
    std::thread acceptThread;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> workers; // owned by the accept thread until stop joins them

    Faults currentFaults() const {
        std::lock_guard lock(mutex);
        return faults;
    }
    NegotiationPolicy currentNegotiation() const {
        std::lock_guard lock(mutex);
        return negotiation;
    }

    // The record of a connection, or null; called with mutex held.
    ConnectionRecord* findRecord(std::size_t index) const {
        auto it = records.find(index);
        return it == records.end() ? nullptr : it->second.get();
    }
    // Recording and connection bookkeeping, all under mutex.
    void record(std::size_t index, const Header& h, std::span<const std::uint8_t> data);
    // Marks a connection closed, lets go of it and counts it out of the open ones.
    void finished(std::size_t index);
    template <class F>
    void updateInfo(std::size_t index, F&& f) {
        {
            std::lock_guard lock(mutex);
            f(records.at(index)->info);
        }
        changed.notify_all();
    }

    // Takes an accepted socket as the next connection; null (and the socket closed) when
    // config.maxConnections are open already.
    std::shared_ptr<Connection> adopt(int fd);
    // Serves an adopted connection on the calling thread until it ends.
    void serve(std::shared_ptr<Connection> connection);

    // Sessions. createSession returns null when the limit is reached.
    std::shared_ptr<Session> createSession(std::uint16_t isid, bool discovery, std::size_t target,
                                           std::string initiatorName);
    std::shared_ptr<Session> findSession(std::uint16_t isid, std::uint16_t tsid);
    void leaveSession(const std::shared_ptr<Session>& session, const Connection* connection);
};

} // namespace quevi::target
