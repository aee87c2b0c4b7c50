// The Linux tests fake sysfs and device nodes with umockdev, whose preload
// library must be in the process from its start; the program re-runs itself
// with it, so plain ./test_linux and ctest both work.
#include <gtest/gtest.h>

#include "umockdev_bed.h"

int main(int argc, char** argv) {
    qks::test::EnterUmockdevEnvironment(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
