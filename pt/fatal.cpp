#include "pt/fatal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace pt {

namespace {
std::atomic<fatalReporter> currentReporter{nullptr};
}

void setFatalReporter(fatalReporter reporter)
{
    currentReporter.store(reporter);
}

void fatal(int code, const char* message)
{
    if (fatalReporter report = currentReporter.load())
        report(code, message);
    std::fprintf(stderr, "\nInternal [%04x]: %s\n", static_cast<unsigned>(code), message);
    std::fflush(stderr);
    std::exit(code);
}

}  // namespace pt
