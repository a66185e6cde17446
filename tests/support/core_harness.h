// A Core over a temporary executable directory, brought up and taken down
// step by step for in-process tests of loading and routing.
//
// The steps are those of Core::Start without the status documents and the
// scheduler (the trigger, loading, the event-handler thread), so that module
// logs show only what a test causes; tests may stop after any of them, e.g.
// dispatch before the handler exists. Stopping is Core::Stop itself.
//
// Thread safety: use from the test's main thread.
#pragma once

#include <sys/stat.h>

#include <string>

#include "base/service_stats.h"
#include "core/core.h"
#include "support/test_module.h"

namespace testmodule {

class CoreHarness {
public:
    CoreHarness() : core(dir / "orvantisd")
    {
        mkdir(plugin("").c_str(), 0755);
        mkdir(protectedPlugin("").c_str(), 0755);
    }
    ~CoreHarness() { stop(); }
    CoreHarness(const CoreHarness&) = delete;
    CoreHarness& operator=(const CoreHarness&) = delete;

    std::string plugin(const std::string& name) const { return dir / "plugins/" + name; }
    std::string protectedPlugin(const std::string& name) const { return dir / "protected-plugins/" + name; }

    // Start's first step: the trigger, so that Dispatch accepts messages.
    void createTrigger()
    {
        core.TEST_eventQueue().open();
        stopped = false;
    }

    // The trigger, then loading.
    void load()
    {
        createTrigger();
        core.LoadModules();
    }

    // The trigger, loading and the event-handler thread.
    void start()
    {
        load();
        core.StartEventHandler();
    }

    // The index of the listed module with `fileName`, or -1.
    int indexOf(const std::string& fileName) const
    {
        for (size_t i = 0; i < core.TEST_modules().size(); ++i)
            if (core.TEST_modules()[i].file_name == fileName)
                return static_cast<int>(i);
        return -1;
    }

    // Core::Stop: the handler's last drain, Close and Unload of every module
    // (waiting for its workers), and the queue dropped. Runs once per start.
    void stop()
    {
        if (stopped)
            return;
        stopped = true;
        core.Stop();
    }

    TempDir dir;
    Core core;

private:
    bool stopped = true;
};

// Counters for a record a test builds by hand, as the loader gives every
// module it loads; they last for the whole test run, like the record's.
inline ModuleStats* RecordStats(uint64_t id, const std::string& fileName)
{
    static ServiceStats& stats = *new ServiceStats;
    return stats.add(id, fileName);
}

}  // namespace testmodule
