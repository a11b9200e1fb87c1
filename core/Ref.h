// Counted references to the service's shared objects (sockets, connections,
// expectations).
//
// A shared object derives from RefCounted: it starts with count 0 and belongs
// to nobody until a Ref takes it; the release that brings the count back to
// 0 deletes it through its virtual destructor. Counts are plain integers:
// everything runs on the loop thread.
#pragma once

#include "nv/Base.h"

#include <cstdint>
#include <utility>

class RefCounted : public nv::Base {
public:
    uint32_t refCount = 0;
};

template <class T>
class Ref {
public:
    Ref() = default;
    Ref(T* object) { assign(object); }  // NOLINT: implicit like a pointer
    Ref(const Ref& other) { assign(other.object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~Ref() { assign(nullptr); }

    Ref& operator=(T* object) {
        assign(object);
        return *this;
    }
    Ref& operator=(const Ref& other) {
        assign(other.object_);
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            T* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            release(old);
        }
        return *this;
    }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    // Raise the new count first, so that assigning the object already held
    // never deletes it; release the old one last, since its destructor may
    // reach back into whoever holds this Ref.
    void assign(T* object) {
        if (object) ++object->refCount;
        T* old = std::exchange(object_, object);
        release(old);
    }
    static void release(T* object) {
        if (object && --object->refCount == 0) delete object;
    }

    T* object_ = nullptr;
};
