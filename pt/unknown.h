// Root of the threading library's polymorphic classes: gives each a virtual
// destructor, so that objects can be deleted through a base pointer.
#pragma once

namespace pt {

class unknown {
public:
    virtual ~unknown() {}
};

}  // namespace pt
