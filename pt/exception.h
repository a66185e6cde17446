// The library's exception type. The service never throws one; the thread
// epilogue catches one thrown by cleanup() and deletes it.
#pragma once

#include <string>

#include "pt/unknown.h"

namespace pt {

class exception : public unknown {
public:
    explicit exception(const char* message) : message(message ? message : "") {}
    ~exception() override {}
    virtual const std::string& getMessage() const { return message; }

private:
    std::string message;
};

}  // namespace pt
