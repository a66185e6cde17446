#include "pt/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace pt {

void fatal(int code, const char* message)
{
    std::fprintf(stderr, "\nInternal [%04x]: %s\n", static_cast<unsigned>(code), message);
    std::fflush(stderr);
    std::exit(code);
}

}  // namespace pt
