// A bus message: typed fields keyed by a 32-bit number, plus, for replies,
// a status (plain, failed with a text, error with a number and a text).
//
// A request that arrived over the bus also carries its route (which
// connection sent it, under which sequence number). The route is private to
// the framework and travels with every copy, so a request object that keeps
// its own copy can still be answered through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nv {

enum class FieldType : uint8_t { u32 = 1, be32 = 2, boolean = 3, string = 4 };

// Field type tags for message::get and message::insert.
struct u32_id {
    using value_type = uint32_t;
    static constexpr FieldType type = FieldType::u32;
};
// A 32-bit value kept in network byte order (an IPv4 address as it stands in
// a socket address); the framework never swaps it.
struct be32_id {
    using value_type = uint32_t;
    static constexpr FieldType type = FieldType::be32;
};
struct bool_id {
    using value_type = bool;
    static constexpr FieldType type = FieldType::boolean;
};
// A counted byte string; zero bytes are allowed.
struct string_id {
    using value_type = std::string;
    static constexpr FieldType type = FieldType::string;
};

enum class ReplyStatus : uint8_t { plain = 0, failed = 1, error = 2 };

class message {
public:
    struct Field {
        uint32_t key;
        FieldType type;
        uint32_t number;    // u32, be32 (as held), bool (0 or 1)
        std::string bytes;  // string fields
    };

    // Absent fields, and fields of another type, read as the fallback
    // (0, false, or the empty string when none is given).
    template <class Id>
    typename Id::value_type get(uint32_t key) const;
    template <class Id>
    typename Id::value_type get(uint32_t key, const typename Id::value_type& fallback) const;

    // Sets the field, replacing any field with the same key (of any type).
    template <class Id>
    void insert(uint32_t key, const typename Id::value_type& value);

    bool contains(uint32_t key) const { return find(key) != nullptr; }
    const Field* find(uint32_t key) const;
    bool erase(uint32_t key);
    // Fields in ascending key order.
    const std::vector<Field>& fields() const { return fields_; }
    size_t size() const { return fields_.size(); }

    ReplyStatus status() const { return status_; }
    uint32_t errorCode() const { return errorCode_; }
    const std::string& statusText() const { return statusText_; }
    void setStatus(ReplyStatus status, uint32_t errorCode, std::string text);

    // Equal fields and status; the route is not compared.
    bool operator==(const message& other) const;

private:
    friend class Route;
    Field& slot(uint32_t key, FieldType type);

    std::vector<Field> fields_;
    ReplyStatus status_ = ReplyStatus::plain;
    uint32_t errorCode_ = 0;
    std::string statusText_;
    // Where the reply to this request goes; 0 = nowhere. Framework-private.
    uint64_t routeConnection_ = 0;
    uint32_t routeSequence_ = 0;
};

// A reply marked as failed, carrying the text.
message failedMsg(const std::string& text);
// A reply carrying an error number and its text.
message errorMsg(uint32_t code, const std::string& text);

// The framework's access to a message's route.
class Route {
public:
    static uint64_t connection(const message& m) { return m.routeConnection_; }
    static uint32_t sequence(const message& m) { return m.routeSequence_; }
    static void set(message& m, uint64_t connection, uint32_t sequence) {
        m.routeConnection_ = connection;
        m.routeSequence_ = sequence;
    }
};

}  // namespace nv
