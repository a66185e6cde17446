// The crash report's line and start-up statuses, byte for byte.
#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "app/crash_report.h"

namespace {

std::string Line(int signal, const EntryCall& call, size_t size = 512)
{
    std::string buffer(size, '#');
    size_t length = CrashReport::FormatLine(&buffer[0], size, signal, call);
    EXPECT_EQ('\0', buffer[length]);
    return buffer.substr(0, length);
}

TEST(CrashLine, NamesModuleAndEntryOrTheService)
{
    EntryCall call{};
    EXPECT_EQ("Fatal signal 6 (SIGABRT) in the service itself", Line(SIGABRT, call));
    call.module = "cam\nera.so";
    call.entry = "Write";
    // A control byte in a file name must not split the line.
    EXPECT_EQ("Fatal signal 7 (SIGBUS) in plugin cam?era.so, entry point Write", Line(SIGBUS, call));
    EXPECT_EQ("Fatal signal 7 (SIG", Line(SIGBUS, call, 20));
    EXPECT_EQ("", Line(SIGBUS, call, 1));
    call.entry = nullptr;
    EXPECT_EQ("Fatal signal 11 (SIGSEGV) in plugin cam?era.so, outside any entry point", Line(SIGSEGV, call));
}

TEST(CrashLine, StartupStatusesCarryTheSignal)
{
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
        EXPECT_EQ(128 + signal, CrashReport::StartupStatus(signal));
        EXPECT_EQ(signal, CrashReport::SignalOfStatus(CrashReport::StartupStatus(signal)));
    }
    for (int status : {0, 1, 2, 255, 128, 128 + SIGTERM})
        EXPECT_EQ(0, CrashReport::SignalOfStatus(status)) << status;
    EXPECT_STREQ("SIGFPE", CrashReport::SignalName(SIGFPE));
    EXPECT_EQ(nullptr, CrashReport::SignalName(SIGTERM));
}

}  // namespace
