// The setting of a fuzz target's Core: a fresh scratch directory, made the
// working directory (where the status documents go), with logging off so that
// millions of inputs do not flood the output.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <wx/log.h>

// The scratch directory's path; the process ends when it cannot be made.
inline std::string EnterFuzzScratch()
{
    char pattern[] = "/tmp/orvantis-fuzz-XXXXXX";
    if (!mkdtemp(pattern) || chdir(pattern) != 0)
        std::abort();
    wxLog::EnableLogging(false);
    return pattern;
}
