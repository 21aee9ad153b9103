// Entry point of every halvix test binary.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    // The library starts threads; the "threadsafe" style re-executes the test
    // binary for each death test instead of forking a threaded process.
    // Under user-mode emulation (a cross build run through qemu) the binary
    // cannot execute itself: the kernel does not know the foreign format, so
    // execv fails. There the "fast" style forks instead; a death test's
    // statement runs on the forking thread only, which is all it needs.
    const bool underEmulation = std::getenv("HALVIX_UNDER_EMULATION") != nullptr;
    GTEST_FLAG_SET(death_test_style, underEmulation ? "fast" : "threadsafe");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
