// A running service and a bus connection to it, for the probe tests.
#pragma once

#include "protocol/Fields.h"
#include "nv/BusClient.h"
#include "tests/kit/ServiceProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <initializer_list>
#include <string>
#include <utility>

class ProbeFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.ready());
        std::string error;
        ASSERT_TRUE(client.connect(service.busPath(), &error)) << error;
    }

    static uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

    // A probe request: command, 127.0.0.1, port, and string fields.
    static nv::message probe(uint32_t command, uint16_t port,
                             std::initializer_list<std::pair<uint32_t, std::string>> strings = {}) {
        nv::message request;
        request.insert<nv::u32_id>(field::command, command);
        request.insert<nv::be32_id>(field::address, loopback());
        request.insert<nv::u32_id>(field::port, port);
        for (const auto& [key, value] : strings) request.insert<nv::string_id>(key, value);
        return request;
    }

    nv::message call(const nv::message& request, int waitMs = 30000) {
        nv::message reply;
        std::string error;
        EXPECT_TRUE(client.call(request, 0, &reply, waitMs, &error)) << error;
        return reply;
    }

    static void expectSuccess(const nv::message& reply) {
        EXPECT_EQ(reply.status(), nv::ReplyStatus::plain) << reply.errorCode() << " " << reply.statusText();
        EXPECT_TRUE(reply.contains(field::elapsed));
    }
    static void expectTimeout(const nv::message& reply) {
        EXPECT_EQ(reply.status(), nv::ReplyStatus::error);
        EXPECT_EQ(reply.errorCode(), kTimeoutError);
        EXPECT_EQ(reply.size(), 0u);
    }

    ServiceProcess service;
    nv::BusClient client;
};
