#include "protocol/Fields.h"

#include <iterator>

namespace {

using nv::FieldType;

constexpr FieldInfo catalogue[] = {
    {field::command, FieldType::u32, "command"},
    {field::timeout, FieldType::u32, "timeout"},
    {field::elapsed, FieldType::u32, "elapsed"},
    {field::address, FieldType::be32, "address"},
    {field::port, FieldType::u32, "port"},
    {field::skip_first_expect, FieldType::boolean, "skip_first_expect"},
    {field::hold_first_send, FieldType::boolean, "hold_first_send"},
    {field::send_0, FieldType::string, "send_0"},
    {field::expect_0, FieldType::string, "expect_0"},
    {field::send_1, FieldType::string, "send_1"},
    {field::expect_1, FieldType::string, "expect_1"},
    {field::send_2, FieldType::string, "send_2"},
    {field::expect_2, FieldType::string, "expect_2"},
    {field::connected, FieldType::boolean, "connected"},
    {field::group_name, FieldType::string, "group_name"},
    {field::payload, FieldType::string, "payload"},
    {field::all_names, FieldType::boolean, "all_names"},
    {field::names, FieldType::string, "names"},
    {field::unit_id, FieldType::string, "unit_id"},
    {field::host_name, FieldType::string, "host_name"},
};

}  // namespace

std::span<const FieldInfo> fieldCatalogue() { return catalogue; }

const FieldInfo* findField(uint32_t key) {
    for (const FieldInfo& info : catalogue)
        if (info.key == key) return &info;
    return nullptr;
}

const FieldInfo* findField(std::string_view name) {
    for (const FieldInfo& info : catalogue)
        if (info.name == name) return &info;
    return nullptr;
}
