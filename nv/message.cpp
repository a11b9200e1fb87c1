// nv::message: fields kept in a vector sorted by key. Messages hold a
// handful of fields, so a binary search over a contiguous vector beats any
// node-based map in both space and time.
#include "nv/message.h"

#include <algorithm>
#include <utility>

namespace nv {

namespace {

template <class Fields>
auto lowerBound(Fields& fields, uint32_t key) {
    return std::lower_bound(fields.begin(), fields.end(), key,
                            [](const message::Field& f, uint32_t k) { return f.key < k; });
}

}  // namespace

const message::Field* message::find(uint32_t key) const {
    auto it = lowerBound(fields_, key);
    return it != fields_.end() && it->key == key ? &*it : nullptr;
}

bool message::erase(uint32_t key) {
    auto it = lowerBound(fields_, key);
    if (it == fields_.end() || it->key != key) return false;
    fields_.erase(it);
    return true;
}

message::Field& message::slot(uint32_t key, FieldType type) {
    auto it = lowerBound(fields_, key);
    if (it != fields_.end() && it->key == key) {
        // Replacing may change the type: forget the old value entirely.
        it->type = type;
        it->number = 0;
        it->bytes.clear();
        return *it;
    }
    return *fields_.insert(it, Field{key, type, 0, {}});
}

template <class Id>
typename Id::value_type message::get(uint32_t key) const {
    return get<Id>(key, typename Id::value_type{});
}

template <class Id>
typename Id::value_type message::get(uint32_t key, const typename Id::value_type& fallback) const {
    const Field* f = find(key);
    if (f == nullptr || f->type != Id::type) return fallback;
    if constexpr (Id::type == FieldType::string) {
        return f->bytes;
    } else if constexpr (Id::type == FieldType::boolean) {
        return f->number != 0;
    } else {
        return f->number;
    }
}

template <class Id>
void message::insert(uint32_t key, const typename Id::value_type& value) {
    Field& f = slot(key, Id::type);
    if constexpr (Id::type == FieldType::string) {
        f.bytes = value;
    } else if constexpr (Id::type == FieldType::boolean) {
        f.number = value ? 1 : 0;
    } else {
        f.number = value;
    }
}

// The four field types are the only instantiations there are.
#define NV_MESSAGE_INSTANTIATE(Id)                                                          \
    template Id::value_type message::get<Id>(uint32_t) const;                               \
    template Id::value_type message::get<Id>(uint32_t, const Id::value_type&) const;        \
    template void message::insert<Id>(uint32_t, const Id::value_type&);
NV_MESSAGE_INSTANTIATE(u32_id)
NV_MESSAGE_INSTANTIATE(be32_id)
NV_MESSAGE_INSTANTIATE(bool_id)
NV_MESSAGE_INSTANTIATE(string_id)
#undef NV_MESSAGE_INSTANTIATE

void message::setStatus(ReplyStatus status, uint32_t errorCode, std::string text) {
    status_ = status;
    errorCode_ = errorCode;
    statusText_ = std::move(text);
}

bool message::operator==(const message& other) const {
    if (status_ != other.status_ || errorCode_ != other.errorCode_ ||
        statusText_ != other.statusText_ || fields_.size() != other.fields_.size())
        return false;
    for (size_t i = 0; i < fields_.size(); ++i) {
        const Field& a = fields_[i];
        const Field& b = other.fields_[i];
        if (a.key != b.key || a.type != b.type || a.number != b.number || a.bytes != b.bytes)
            return false;
    }
    return true;
}

message failedMsg(const std::string& text) {
    message m;
    m.setStatus(ReplyStatus::failed, 0, text);
    return m;
}

message errorMsg(uint32_t code, const std::string& text) {
    message m;
    m.setStatus(ReplyStatus::error, code, text);
    return m;
}

}  // namespace nv
