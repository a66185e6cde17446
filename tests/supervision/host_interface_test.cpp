// The host interface seen from a process that does not export it: this test
// binary links the service but not the executable's export, as a service of
// an older version would.
#include <gtest/gtest.h>

#include "support/core_harness.h"
#include "support/test_module.h"

using namespace testmodule;

TEST(HostInterface, AModuleUnderAServiceWithoutItFindsNothingAndCarriesOn)
{
    CoreHarness h;
    const std::string path = h.plugin("snapshot.so");
    ASSERT_TRUE(InstallModule(path, "", "orv_snapshot_module"));
    h.start();
    h.stop();
    EXPECT_EQ(ReadFile(path + ".snapshot"), "absent\n");
}
