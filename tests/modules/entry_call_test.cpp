// The calling thread's entry point: set for a scope, restored after it, and
// private to each thread.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "modules/entry_call.h"

namespace {

TEST(EntryCall, ScopesNestAndStayOnTheirThread)
{
    EXPECT_EQ(nullptr, CurrentEntryCall().module);
    const std::string outer = "a.so", inner = "b.so";
    {
        EntryCallScope load(outer, "Load");
        {
            EntryCallScope write(inner, "Write");
            EXPECT_STREQ("b.so", CurrentEntryCall().module);
            EXPECT_STREQ("Write", CurrentEntryCall().entry);
            std::thread([] { EXPECT_EQ(nullptr, CurrentEntryCall().module); }).join();
        }
        EXPECT_STREQ("a.so", CurrentEntryCall().module);
        EXPECT_STREQ("Load", CurrentEntryCall().entry);
    }
    EXPECT_EQ(nullptr, CurrentEntryCall().module);
}

}  // namespace
