// What the crash report attributes a thread to: the calling thread's entry
// point (set for a scope, restored after it, private to each thread), and
// outside any, the module whose code an address lies in.
#include <wx/dynlib.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "modules/entry_call.h"
#include "modules/module_images.h"
#include "modules/module_library.h"
#include "support/test_module.h"

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

TEST(ModuleImages, AnAddressInAnOpenModuleNamesItUntilItIsReleased)
{
    testmodule::TempDir dir;
    ASSERT_TRUE(testmodule::InstallModule(dir / "imaged.so", ""));
    std::string reason;
    wxDynamicLibrary* library = OpenModuleLibrary(dir / "imaged.so", reason);
    ASSERT_NE(nullptr, library) << reason;
    const uintptr_t code = reinterpret_cast<uintptr_t>(FindEntryPoint(*library, "Load"));
    EXPECT_STREQ("imaged.so", FindModuleImage(code));
    EXPECT_EQ(nullptr, FindModuleImage(reinterpret_cast<uintptr_t>(&FindModuleImage)));
    ReleaseModuleLibrary(library);
    EXPECT_EQ(nullptr, FindModuleImage(code));
}

}  // namespace
