// The close and unload passes with fake entry points: the close order, every
// Close before the first Unload, and the wait for a module's live workers.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/dynlib.h>
#include <wx/log.h>

#include "core/core.h"
#include "modules/worker_registry.h"
#include "support/core_harness.h"

namespace {

std::vector<std::string> calls;
bool recordsAsExpected = true;

template <int N, int32_t Code = 0>
int32_t FakeClose(void* in, void* out)
{
    const CloseArgs* args = static_cast<const CloseArgs*>(in);
    const CloseReply* reply = static_cast<const CloseReply*>(out);
    recordsAsExpected = recordsAsExpected && args->size == 12 && args->version == 1 && args->reserved == 0 &&
                        reply->size == 12 && reply->version == 1 && reply->result == 0;
    calls.push_back("close " + std::to_string(N));
    return Code;
}

template <int N>
int32_t FakeUnload(void* in, void* out)
{
    const UnloadArgs* args = static_cast<const UnloadArgs*>(in);
    const UnloadReply* reply = static_cast<const UnloadReply*>(out);
    recordsAsExpected = recordsAsExpected && args->size == 8 && args->version == 1 && reply->size == 12 &&
                        reply->version == 1 && reply->result == 0;
    calls.push_back("unload " + std::to_string(N));
    return 0;
}

template <int N, int32_t CloseCode = 0>
ModuleRecord FakeModule(uint64_t key, uint64_t id = N)
{
    ModuleRecord record;
    record.library = new wxDynamicLibrary;  // never opened: nothing to unmap
    record.info.module_id = id;
    record.info.class_mask[5] = key;
    record.file_name = "fake" + std::to_string(N) + ".so";
    record.stats = testmodule::RecordStats(id, record.file_name);
    record.Close = FakeClose<N, CloseCode>;
    record.Unload = FakeUnload<N>;
    return record;
}

std::vector<uint64_t> Ids(const Core& core)
{
    std::vector<uint64_t> ids;
    for (const ModuleRecord& record : core.TEST_modules())
        ids.push_back(record.info.module_id);
    return ids;
}

class Shutdown : public ::testing::Test {
protected:
    Shutdown() : core("/x/orvantisd")
    {
        calls.clear();
        recordsAsExpected = true;
    }

    void Stop()
    {
        EXPECT_TRUE(core.CloseModules());
        closeOrder = Ids(core);
        EXPECT_TRUE(core.UnloadModules());
        EXPECT_TRUE(core.TEST_modules().empty());
        EXPECT_TRUE(recordsAsExpected);
    }

    Core core;
    std::vector<uint64_t> closeOrder;
};

// Collects the error records logged on this thread.
class ErrorCapture : public wxLog {
public:
    ErrorCapture() : previous(wxLog::SetActiveTarget(this)) {}
    ~ErrorCapture() override { wxLog::SetActiveTarget(previous); }

    std::vector<std::string> errors;

protected:
    void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) override
    {
        if (level == wxLOG_Error)
            errors.push_back(msg.ToStdString());
    }

private:
    wxLog* previous;
};

}  // namespace

TEST_F(Shutdown, LargestKeyFirstThenTheSameOrderForUnload)
{
    core.TEST_modules().push_back(FakeModule<1>(1));
    core.TEST_modules().push_back(FakeModule<2>(0x10));
    core.TEST_modules().push_back(FakeModule<3>(0));
    Stop();
    EXPECT_EQ(closeOrder, (std::vector<uint64_t>{2, 1, 3}));
    EXPECT_EQ(calls, (std::vector<std::string>{"close 2", "close 1", "close 3", "unload 2", "unload 1", "unload 3"}));
}

TEST_F(Shutdown, EqualKeysKeepLoadOrderWithTheHeadModuleFirst)
{
    core.TEST_modules().push_back(FakeModule<1>(5, ORV_HEAD_MODULE_ID));
    core.TEST_modules().push_back(FakeModule<2>(5));
    core.TEST_modules().push_back(FakeModule<3>(7));
    core.TEST_modules().push_back(FakeModule<4>(5));
    core.TEST_modules().push_back(FakeModule<5>(7));
    Stop();
    EXPECT_EQ(closeOrder, (std::vector<uint64_t>{3, 5, ORV_HEAD_MODULE_ID, 2, 4}));
}

TEST_F(Shutdown, KeysCompareUnsigned)
{
    core.TEST_modules().push_back(FakeModule<1>(UINT64_C(0x7FFFFFFFFFFFFFFF)));
    core.TEST_modules().push_back(FakeModule<2>(1));
    core.TEST_modules().push_back(FakeModule<3>(UINT64_C(0x8000000000000000)));
    core.TEST_modules().push_back(FakeModule<4>(UINT64_MAX));
    Stop();
    EXPECT_EQ(closeOrder, (std::vector<uint64_t>{4, 3, 1, 2}));
}

TEST_F(Shutdown, AFailingCloseIsStillUnloaded)
{
    core.TEST_modules().push_back(FakeModule<1, -9>(0));
    core.TEST_modules().push_back(FakeModule<2, 4>(0));
    Stop();
    EXPECT_EQ(calls, (std::vector<std::string>{"close 1", "close 2", "unload 1", "unload 2"}));
}

TEST_F(Shutdown, EmptyListAndMissingEntryPoints)
{
    Stop();
    EXPECT_TRUE(calls.empty());

    ModuleRecord bare = FakeModule<1>(0);
    bare.Close = nullptr;
    bare.Unload = nullptr;
    ModuleRecord noLibrary = FakeModule<2>(0);
    delete noLibrary.library;
    noLibrary.library = nullptr;
    core.TEST_modules().push_back(bare);
    core.TEST_modules().push_back(noLibrary);
    core.TEST_modules().push_back(FakeModule<3>(0));
    Stop();
    EXPECT_EQ(calls, (std::vector<std::string>{"close 3", "unload 3"}));
}

TEST_F(Shutdown, CloseDropsTheReadWorkerAndStopsOpenRequests)
{
    core.TEST_modules().push_back(FakeModule<1>(0));
    PluginThread* dummy = reinterpret_cast<PluginThread*>(&calls);
    core.TEST_modules()[0].read_worker = dummy;
    core.TEST_modules()[0].ioctl_worker = dummy;
    EXPECT_TRUE(core.CloseModules());
    EXPECT_TRUE(core.TEST_moduleList().isClosing());
    EXPECT_EQ(core.TEST_modules()[0].read_worker, nullptr);
    EXPECT_EQ(core.TEST_modules()[0].ioctl_worker, dummy);
    EXPECT_TRUE(core.UnloadModules());
}

// --- Live workers at stop ---------------------------------------------------

namespace {

std::atomic<bool> workerLeft{false};
std::atomic<bool> unloadedAfterWorker{true};

int32_t UnloadAfterWorker(void*, void*)
{
    unloadedAfterWorker = workerLeft.load();
    calls.push_back("unload waited");
    return 0;
}

}  // namespace

TEST_F(Shutdown, UnloadWaitsForTheModulesWorkers)
{
    core.TEST_modules().push_back(FakeModule<1>(0));
    core.TEST_modules()[0].Unload = UnloadAfterWorker;
    const void* library = core.TEST_modules()[0].library;
    WorkerRegistry::instance().workerStarted(library, WorkerEntry::Read);
    workerLeft = false;
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        workerLeft = true;
        WorkerRegistry::instance().workerEnded(library, WorkerEntry::Read, &core, [] {});
    });
    Stop();
    worker.join();
    EXPECT_TRUE(unloadedAfterWorker);
    EXPECT_EQ(calls, (std::vector<std::string>{"close 1", "unload waited"}));
}

TEST_F(Shutdown, AStuckModuleIsUnloadedButStaysLoadedAndDelaysNobody)
{
    ErrorCapture log;
    core.TEST_workerWaits().graceMs = 50;
    core.TEST_workerWaits().exitTimeoutMs = 400;
    core.TEST_modules().push_back(FakeModule<1>(1));
    core.TEST_modules().push_back(FakeModule<2>(0));
    core.TEST_modules()[0].file_name = "stuck.so";
    const void* stuck = core.TEST_modules()[0].library;
    WorkerRegistry::instance().workerStarted(stuck, WorkerEntry::Ioctl);
    const void* quick = core.TEST_modules()[1].library;
    WorkerRegistry::instance().workerStarted(quick, WorkerEntry::Read);
    std::thread quickWorker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        WorkerRegistry::instance().workerEnded(quick, WorkerEntry::Read, &core, [] {});
    });

    const auto start = std::chrono::steady_clock::now();
    Stop();
    const auto took = std::chrono::steady_clock::now() - start;
    quickWorker.join();
    // The pass lasts as long as the stuck library's own deadline, no longer.
    EXPECT_GE(took, std::chrono::milliseconds(390));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_EQ(calls, (std::vector<std::string>{"close 1", "close 2", "unload 1", "unload 2"}));
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_NE(log.errors[0].find("stuck.so"), std::string::npos) << log.errors[0];
    EXPECT_NE(log.errors[0].find("0 inside Read, 1 inside IOCTL"), std::string::npos) << log.errors[0];
    // The worker returns at last; the library object stays with the process.
    WorkerRegistry::instance().workerEnded(stuck, WorkerEntry::Ioctl, &core, [] {});
}

TEST(ShutdownTimeout, IsTenSecondsByDefault)
{
    Core core("/x/orvantisd");
    EXPECT_EQ(core.TEST_workerWaits().exitTimeoutMs, 10000);
}

// --- Release right after Unload ---------------------------------------------

namespace {

const Core* unloading = nullptr;

// Records which libraries of the list are already released at this Unload.
template <int N>
int32_t UnloadSeeingReleases(void*, void*)
{
    std::string released;
    for (const ModuleRecord& record : unloading->TEST_modules())
        released += record.library ? "" : " " + record.file_name;
    calls.push_back("unload " + std::to_string(N) + ", released:" + released);
    return 0;
}

}  // namespace

TEST_F(Shutdown, EachLibraryGoesRightAfterItsUnloadUnlessItsWorkersRun)
{
    unloading = &core;
    core.TEST_workerWaits().graceMs = 0;
    core.TEST_modules().push_back(FakeModule<1>(0));
    core.TEST_modules().push_back(FakeModule<2>(0));
    core.TEST_modules().push_back(FakeModule<3>(0));
    core.TEST_modules()[1].Unload = UnloadSeeingReleases<2>;
    core.TEST_modules()[2].Unload = UnloadSeeingReleases<3>;
    const void* busy = core.TEST_modules()[1].library;
    WorkerRegistry::instance().workerStarted(busy, WorkerEntry::Read);
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        WorkerRegistry::instance().workerEnded(busy, WorkerEntry::Read, &core, [] {});
    });
    Stop();
    worker.join();
    EXPECT_EQ(calls, (std::vector<std::string>{"close 1", "close 2", "close 3", "unload 1",
                                               "unload 2, released: fake1.so", "unload 3, released: fake1.so"}));
}
