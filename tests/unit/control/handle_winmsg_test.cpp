// What each kind of message does with its payload.
#include "driver/control/control.h"
#include "driver/engine/os_services.h"
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
std::vector<PSCSI_REQUEST_BLOCK> refused;
}

void iscsiOScompleteCommandNoConnection(PSCSI_REQUEST_BLOCK srb) {
    refused.push_back(srb);
}

TEST(HandleWinMsg, ControlRequestsAreHandedBackAndRecordsFreed) {
    refused.clear();
    auto* srb = reinterpret_cast<PSCSI_REQUEST_BLOCK>(uintptr_t{0x4000});
    for (ULONG type : {WINMSG_ADD_TARGET_BEGIN, WINMSG_REMOVE_TARGET, WINMSG_SEND_RECEIVE_TEXT,
                       WINMSG_ADD_TARGET_COMPLETE, WINMSG_QUERY_TARGET}) {
        handleWinMsg(&winMsgHandlerContext, type, srb, 0);
    }
    EXPECT_EQ(refused.size(), 5u) << "every control request is completed, none is lost";

    auto* reset = static_cast<WINMSG_RESET_RECORD*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WINMSG_RESET_RECORD), ISCSI_POOL_TAG));
    auto* shutdown = static_cast<WINMSG_SHUTDOWN_RECORD*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WINMSG_SHUTDOWN_RECORD), ISCSI_POOL_TAG));
    handleWinMsg(&winMsgHandlerContext, WINMSG_RESET_BUS, reset, 0);
    handleWinMsg(&winMsgHandlerContext, WINMSG_SHUTDOWN, shutdown, 1);
    EXPECT_EQ(qvk::poolOutstanding(), 0u) << qvk::poolLeakReport();
}

TEST(HandleWinMsg, UnknownCodesHaveNoEffect) {
    refused.clear();
    auto* srb = reinterpret_cast<PSCSI_REQUEST_BLOCK>(uintptr_t{0x4000});
    handleWinMsg(&winMsgHandlerContext, 0, srb, 0);
    handleWinMsg(&winMsgHandlerContext, 8, srb, 0);
    EXPECT_TRUE(refused.empty());
    EXPECT_EQ(qvk::poolOutstanding(), 0u);
}
