// The protocol shared by the service and every client: the command numbers
// and the catalogue of message fields, keyed by their bus field numbers.
#pragma once

#include "nv/message.h"
#include "nv/policies.h"

#include <cstdint>
#include <span>
#include <string_view>

constexpr uint32_t CMD_TCP_PROBE = 1;
constexpr uint32_t CMD_UDP_PROBE = 2;
constexpr uint32_t CMD_NETBIOS_STATUS = 3;
constexpr uint32_t CMD_UDP_SEND = 4;

namespace field {
constexpr uint32_t command = nv::kCommandField;
constexpr uint32_t timeout = 1;
constexpr uint32_t elapsed = 2;
constexpr uint32_t address = 3;
constexpr uint32_t port = 4;
constexpr uint32_t skip_first_expect = 5;
constexpr uint32_t hold_first_send = 6;
constexpr uint32_t send_0 = 7;
constexpr uint32_t expect_0 = 8;
constexpr uint32_t send_1 = 9;
constexpr uint32_t expect_1 = 10;
constexpr uint32_t send_2 = 11;
constexpr uint32_t expect_2 = 12;
constexpr uint32_t connected = 13;
constexpr uint32_t group_name = 14;
constexpr uint32_t payload = 15;
constexpr uint32_t all_names = 16;
constexpr uint32_t names = 17;
constexpr uint32_t unit_id = 18;
constexpr uint32_t host_name = 0xfe0010;
}  // namespace field

// The timeout reply: nv::errorMsg(kTimeoutError, "timeout").
constexpr uint32_t kTimeoutError = 0xfe000d;
// Used when a request has no timeout field, in milliseconds.
constexpr uint32_t kDefaultTimeoutMs = 10000;

struct FieldInfo {
    uint32_t key;
    nv::FieldType type;
    std::string_view name;
};

// Every entry of the catalogue.
std::span<const FieldInfo> fieldCatalogue();
// The catalogue entry of a field, or null.
const FieldInfo* findField(uint32_t key);
const FieldInfo* findField(std::string_view name);
