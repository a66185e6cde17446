// Test entry: GoogleTest with the wxWidgets base library initialised, so that
// library code (logging, file names, dynamic libraries) works as in the service.
#include <gtest/gtest.h>
#include <wx/init.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests re-run the binary: threads started by earlier tests make fork-only death tests unsafe.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    wxInitializer init;
    if (!init.IsOk())
        return 2;
    return RUN_ALL_TESTS();
}
