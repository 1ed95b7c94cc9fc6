// A fresh engine per test (each test runs in its own process), with the recording doubles reset,
// and checks at the end that every thread ended and every pool allocation was given back.
#pragma once

#include "engine_doubles.h"

#include "driver/engine/engine.h"
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        qvk::dbgCaptureStart();
        enginetest::resetDoubles();
        ASSERT_EQ(iscsiCoreInitData(), 0);
    }

    void TearDown() override {
        iscsiCoreCleanupData();
        EXPECT_TRUE(qvk::waitSystemThreadsQuiet(std::chrono::seconds(10)));
        EXPECT_EQ(qvk::poolOutstanding(), 0u) << qvk::poolLeakReport();
        qvk::dbgCaptureStop();
    }

    // An opaque request pointer the engine only hands back.
    static PSCSI_REQUEST_BLOCK fakeSrb(int n) {
        return reinterpret_cast<PSCSI_REQUEST_BLOCK>(static_cast<uintptr_t>(0x1000 + 16 * n));
    }

    // Polls for up to 5 s.
    template <class F>
    static bool waitFor(F f) {
        for (int i = 0; i < 1000 && !f(); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return f();
    }

    static ULONG createSession(ULONG connections = 1, ULONG bus = 0) {
        ISCSI_TARGET_ADDRESS addresses[8];
        for (ULONG i = 0; i < 8; i++) {
            addresses[i] = {0x7F000001, static_cast<USHORT>(3260 + i)};
        }
        static const char login[] = "InitiatorName=iqn.init;TargetName=iqn.target;";
        return iscsiCoreCreateSession(addresses, connections, login, sizeof login - 1, bus);
    }
};
