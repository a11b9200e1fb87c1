#include "protocol/Fields.h"
#include "service/ProbeLooper.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Commands the service does not handle reach the framework's own handler,
// which answers with its unknown-command error.
TEST(ProbeLooperTest, UnhandledCommandsReachTheFrameworkHandler) {
    ProbeLooper looper;
    for (uint32_t command : {0u, 5u, 4294967295u}) {
        nv::message request;
        request.insert<nv::u32_id>(field::command, command);
        request.insert<nv::string_id>(field::send_0, "kept");
        std::vector<nv::message> replies;
        looper.dispatchLocal(request, 7, [&](const nv::message& reply) { replies.push_back(reply); });
        ASSERT_EQ(replies.size(), 1u) << command;
        EXPECT_EQ(replies[0].status(), nv::ReplyStatus::error);
        EXPECT_EQ(replies[0].errorCode(), nv::kErrUnknownCommand);
        EXPECT_EQ(looper.pendingTimers(), 0u) << "no request object was created";
    }
}

}  // namespace
