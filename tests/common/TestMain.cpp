// Entry point of every halvix test binary.
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // The library starts threads; the "threadsafe" style re-executes the test
    // binary for each death test instead of forking a threaded process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
