// The module list on its own: the head module's place, and the walk of an
// open request against the start of the close pass.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "modules/module_list.h"

namespace {

ModuleRecord Record(uint64_t id, uint64_t classMask5 = 0)
{
    ModuleRecord record;
    record.info.module_id = id;
    record.info.class_mask[5] = classMask5;
    return record;
}

std::vector<uint64_t> Ids(ModuleList& list)
{
    std::vector<uint64_t> ids;
    for (const ModuleRecord& record : list.records())
        ids.push_back(record.info.module_id);
    return ids;
}

}  // namespace

TEST(ModuleList, TheHeadModuleGoesFirstAndClosingSortsClassFiveFirst)
{
    ModuleList list;
    list.insert(Record(1));
    list.insert(Record(2, 1));
    list.insert(Record(ORV_HEAD_MODULE_ID));
    list.insert(Record(3, 1));
    EXPECT_EQ(Ids(list), (std::vector<uint64_t>{ORV_HEAD_MODULE_ID, 1, 2, 3}));
    list.beginClosing();
    EXPECT_EQ(Ids(list), (std::vector<uint64_t>{2, 3, ORV_HEAD_MODULE_ID, 1}));
}

TEST(ModuleList, ClosingWaitsForAWalkInProgressAndNoWalkStartsAfterIt)
{
    ModuleList list;
    for (uint64_t id = 1; id <= 3; ++id)
        list.insert(Record(id));
    std::atomic<bool> inside{false}, release{false}, closed{false};
    int visited = 0;
    std::thread walker([&] {
        EXPECT_TRUE(list.forEachWhileOpen([&](const ModuleRecord&) {
            ++visited;
            inside = true;
            while (!release)
                std::this_thread::yield();
        }));
    });
    while (!inside)
        std::this_thread::yield();
    std::thread closer([&] {
        list.beginClosing();
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(closed);  // the walk's shared hold keeps the list as it is
    release = true;
    walker.join();
    closer.join();
    EXPECT_EQ(3, visited);
    EXPECT_FALSE(list.forEachWhileOpen([&](const ModuleRecord&) { ++visited; }));
    list.reset();
    EXPECT_TRUE(list.forEachWhileOpen([&](const ModuleRecord&) { ++visited; }));
    EXPECT_EQ(3, visited);  // reset empties the list
}
