// Shared fixture of the conversation tests: a target on 127.0.0.1, port 0, and a hand-built
// client talking to it.
#pragma once

#include "target/target.h"
#include "test_client.h"

#include <gtest/gtest.h>

namespace quevi::target::test {

class Conversation : public ::testing::Test {
protected:
    // Tests adjust `config` and then call startTarget().
    void startTarget() {
        target = std::make_unique<Target>(config);
        std::string error;
        ASSERT_TRUE(target->start(&error)) << error;
        ASSERT_NE(target->port(), 0);
    }
    void TearDown() override {
        if (target)
            target->stop();
    }
    // Connects and logs in a client; fails the test if that does not work.
    void loggedIn(Client& c, const std::string& offer = "") {
        ASSERT_TRUE(c.connect(target->port()));
        ASSERT_TRUE(c.login(config.name, 0x1234, 0, offer));
    }
    // Fills LUN n with a byte pattern of its offsets.
    void pattern(std::size_t n, std::uint64_t bytes) {
        std::vector<std::uint8_t> b(bytes);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<std::uint8_t>(i * 7 + i / 512);
        ASSERT_TRUE(target->lun(n)->write(0, b));
    }
    static std::uint8_t patternAt(std::size_t i) {
        return static_cast<std::uint8_t>(i * 7 + i / 512);
    }

    TargetConfig config = [] {
        TargetConfig c;
        c.luns = {"1M"};
        return c;
    }();
    std::unique_ptr<Target> target;
};

} // namespace quevi::target::test
