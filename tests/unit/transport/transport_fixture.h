// The fixture of the transport tests: a shortened clock, captured traces, the counting table of
// socket calls, and a record connected to a loopback listener.
#pragma once

#include "driver/runtime/os_services.h"
#include "driver/runtime/runtime.h"
#include "platform/kernel/host.h"
#include "transport_peer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <unistd.h>

namespace transporttest {

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        // 3 seconds of the kernel clock take 30 ms.
        qvk::setTimeScale(0.01);
        GlobalDebugLevel = 0;
        qvk::dbgCaptureStart();
        deviceLog().reset();
        (void)tSetTcpDevice(countingDevice());
    }
    void TearDown() override {
        if (peer_ >= 0) {
            ::close(peer_);
        }
        if (sock_ != nullptr) {
            (void)iscsiOSbreakConnection(sock_);
            iscsiOSdestroyConnection(sock_);
        }
        (void)tSetTcpDevice(nullptr);
        qvk::dbgCaptureStop();
        GlobalDebugLevel = 0;
        qvk::setTimeScale(1.0);
        EXPECT_EQ(qvk::poolOutstanding(ISCSI_POOL_TAG), 0u) << qvk::poolLeakReport();
    }

    // Allocates sock_ for the listener, connects it and accepts the far end into peer_.
    void connect(Listener& listener) {
        ASSERT_EQ(iscsiOSallocateConnection(LOOPBACK, listener.port(), &sock_), 0);
        ASSERT_EQ(iscsiOSmakeConnection(LOOPBACK, listener.port(), sock_), 0);
        peer_ = listener.accept();
        ASSERT_GE(peer_, 0);
    }

    // Connects sock_ to a new listener, kept in listener_.
    void connectNew(int backlog = 8, int rcvbuf = 0) {
        listener_ = std::make_unique<Listener>(backlog, rcvbuf);
        connect(*listener_);
    }

    // Sets the trace level and drops the traces so far.
    static void traceFrom(int level) {
        GlobalDebugLevel = level;
        (void)traces();
    }

    // Nominal time of the kernel clock, in seconds.
    static double kernelSeconds() {
        LARGE_INTEGER t;
        KeQuerySystemTime(&t);
        return static_cast<double>(t.QuadPart) / 1e7;
    }

    static std::string traces() { return qvk::dbgCaptureTake(); }

    std::unique_ptr<Listener> listener_;
    PISCSI_SOCK sock_ = nullptr;
    int peer_ = -1;
};

} // namespace transporttest
