// The driver against the target, in one process over loopback: a target with a fresh engine per
// test, and checks at the end that every thread ended and every pool allocation was returned.
#pragma once

#include "driver/engine/engine.h"
#include "driver/engine/text.h"
#include "driver/login/login.h"
#include "driver/runtime/runtime.h"
#include "loopback.h"
#include "platform/kernel/host.h"
#include "target/target.h"
#include "target/wire.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace systest {

using namespace std::chrono_literals;
namespace tgt = quevi::target;

constexpr ULONG LOOPBACK = 0x7F000001;
inline const std::string kTargetName = "quevi-target";
inline const std::string kLogin =
    "InitiatorName=iqn.2001-04.org.quevi:test;TargetName=" + kTargetName + ";";

// Bounded polling of a condition the driver reaches on its own threads.
template <class F>
bool eventually(F done, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

using testsupport::closedPort;
using tgt::getBe16;
using tgt::getBe32;

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* level = std::getenv("QUEVI_TRACE")) {
            GlobalDebugLevel = static_cast<ULONG>(std::atoi(level));
        } else {
            qvk::dbgCaptureStart();
            GlobalDebugLevel = 2;
        }
        // Time-outs and the pauses of breaks and failed connects run at a tenth of their time;
        // tests about a time-out itself set the scale back to 1.
        qvk::setTimeScale(0.1);
        ASSERT_EQ(iscsiCoreInitData(), 0);
    }

    void TearDown() override {
        iscsiCoreCleanupData();
        if (target_) {
            target_->stop();
        }
        EXPECT_TRUE(qvk::waitSystemThreadsQuiet(std::chrono::seconds(20)));
        EXPECT_EQ(qvk::poolOutstanding(), 0u) << qvk::poolLeakReport();
        qvk::dbgCaptureStop();
    }

    tgt::Target& startTarget(tgt::TargetConfig config = {}) {
        config.name = kTargetName;
        target_ = std::make_unique<tgt::Target>(config);
        std::string error;
        EXPECT_TRUE(target_->start(&error)) << error;
        return *target_;
    }

    tgt::Target& target() { return *target_; }

    ULONG createSession(ULONG connections = 1, const std::string& login = kLogin,
                        std::vector<USHORT> ports = {}) {
        std::vector<ISCSI_TARGET_ADDRESS> addresses;
        for (ULONG i = 0; i < connections; i++) {
            USHORT port = i < ports.size() ? ports[i] : target_->port();
            addresses.push_back({LOOPBACK, port});
        }
        return iscsiCoreCreateSession(addresses.data(), connections, login.c_str(),
                                      static_cast<ULONG>(login.size()), 0);
    }

    // Every PDU the initiator sent on target connection n.
    std::vector<tgt::RecordedPdu> sent(size_t n) { return target_->pdus(n); }

    // Waits until the session's own attempts to connect are over: the creation's, and the one
    // its command thread starts at once when it finds no active connection.
    static void settle(ISCSI_SESSION* session) {
        EXPECT_TRUE(eventually([&] {
            return (session->flags & SESSION_CONNECTING) == 0 &&
                   qvk::liveSystemThreads() == 1 + session->numActiveConnections;
        }));
    }

    // Wakes the session's command thread, as new work would.
    static void wake(ISCSI_SESSION* session) {
        KIRQL old = iscsiLockSession(session);
        KeSetEvent(&session->cmdQEvent, 0, FALSE);
        iscsiUnlockSession(session, old);
    }

    std::unique_ptr<tgt::Target> target_;
};

// The pairs of a NUL-separated text, as strings.
std::vector<std::string> pairsOf(const std::vector<uint8_t>& data);

} // namespace systest
