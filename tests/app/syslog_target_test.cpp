// The syslog log target: priorities, identity, literal texts, and records
// from threads other than the main one.
#include <syslog.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>
#include <wx/log.h>

#include "app/log_syslog.h"
#include "app/sandbox_helpers.h"
#include "base/thread_log.h"

namespace {

const int kWait = 2000;

TEST(SyslogPriority, FollowsTheLevelTable)
{
    EXPECT_EQ(LOG_CRIT, wxLogSyslog::Priority(wxLOG_FatalError));
    EXPECT_EQ(LOG_ERR, wxLogSyslog::Priority(wxLOG_Error));
    EXPECT_EQ(LOG_WARNING, wxLogSyslog::Priority(wxLOG_Warning));
    EXPECT_EQ(LOG_INFO, wxLogSyslog::Priority(wxLOG_Message));
    EXPECT_EQ(LOG_NOTICE, wxLogSyslog::Priority(wxLOG_Status));
    EXPECT_EQ(LOG_INFO, wxLogSyslog::Priority(wxLOG_Info));
    EXPECT_EQ(LOG_DEBUG, wxLogSyslog::Priority(wxLOG_Debug));
    EXPECT_EQ(LOG_DEBUG, wxLogSyslog::Priority(wxLOG_Trace));
}

TEST(SyslogPriority, LevelsAboveTraceAreInfo)
{
    EXPECT_EQ(LOG_INFO, wxLogSyslog::Priority(wxLOG_Progress));
    EXPECT_EQ(LOG_INFO, wxLogSyslog::Priority(wxLOG_User));
    EXPECT_EQ(LOG_INFO, wxLogSyslog::Priority(wxLOG_Max));
    EXPECT_EQ(LOG_INFO, wxLogSyslog::Priority(static_cast<wxLogLevel>(-1)));
}

// The target installed as the active one, with records captured in the
// sandbox.
class SyslogTarget : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!sandbox.enter(&why)) {
            if (!HasFailure())
                GTEST_SKIP() << why;
            return;
        }
        target = new wxLogSyslog("orvantisd");
        previous = wxLog::SetActiveTarget(target);
    }

    void TearDown() override
    {
        if (target) {
            ThreadLog::setTarget(nullptr);
            wxLog::FlushActive();
            wxLog::SetActiveTarget(previous);
            delete target;
        }
    }

    // The next record, which must come from this process under the target's
    // identity with the daemon facility.
    SyslogRecord next()
    {
        SyslogRecord record;
        EXPECT_TRUE(sandbox.receive(&record, kWait)) << "no record arrived";
        EXPECT_EQ("orvantisd", record.tag);
        EXPECT_EQ(getpid(), record.pid);
        EXPECT_EQ(LOG_DAEMON, record.priority & ~LOG_PRIMASK);
        return record;
    }

    Sandbox sandbox;
    wxLogSyslog* target = nullptr;
    wxLog* previous = nullptr;
};

TEST_F(SyslogTarget, EachLevelGetsItsPriority)
{
    wxLogMessage("a message");
    wxLogWarning("a warning");
    wxLogError("an error");
    errno = ENOENT;
    wxLogSysError("a system error");
    wxLogGeneric(wxLOG_Status, "a status");
    wxLogGeneric(static_cast<wxLogLevel>(100), "a user level");

    SyslogRecord record = next();
    EXPECT_EQ(LOG_DAEMON | LOG_INFO, record.priority);
    EXPECT_EQ("a message", record.text);
    record = next();
    EXPECT_EQ(LOG_DAEMON | LOG_WARNING, record.priority);
    EXPECT_EQ("a warning", record.text);
    record = next();
    EXPECT_EQ(LOG_DAEMON | LOG_ERR, record.priority);
    EXPECT_EQ("an error", record.text);
    record = next();
    EXPECT_EQ(LOG_DAEMON | LOG_ERR, record.priority);
    EXPECT_EQ("a system error (error 2: No such file or directory)", record.text);
    record = next();
    EXPECT_EQ(LOG_DAEMON | LOG_NOTICE, record.priority);
    EXPECT_EQ("a status", record.text);
    record = next();
    EXPECT_EQ(LOG_DAEMON | LOG_INFO, record.priority);
    EXPECT_EQ("a user level", record.text);
}

TEST_F(SyslogTarget, ConversionsInTheTextAreLoggedLiterally)
{
    const char text[] = "plugin 100%s.so: %n %s %d %% done";
    wxLogError("%s", text);
    EXPECT_EQ(text, next().text);
}

TEST_F(SyslogTarget, ThreadRecordArrivesWhileMainThreadBlocks)
{
    ThreadLog::setTarget(target);
    std::thread worker([] { ThreadLog::warning("from a %s", "worker"); });
    // The main thread flushes nothing while it waits here.
    SyslogRecord record = next();
    worker.join();
    EXPECT_EQ(LOG_DAEMON | LOG_WARNING, record.priority);
    EXPECT_EQ("from a worker", record.text);
}

// Why secondary threads log through ThreadLog: the library's own functions
// hold the record back until the main thread flushes.
TEST_F(SyslogTarget, UnattachedThreadRecordWaitsForFlush)
{
    std::thread worker([] { wxLogMessage("held back"); });
    worker.join();
    SyslogRecord record;
    EXPECT_FALSE(sandbox.receive(&record, 200));
    wxLog::FlushActive();
    EXPECT_EQ("held back", next().text);
}

}  // namespace
