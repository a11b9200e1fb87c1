// Root of every object the framework hands around by pointer: only a
// virtual destructor, so that owners may delete through the base.
#pragma once

namespace nv {

class Base {
public:
    virtual ~Base() = default;
};

}  // namespace nv
