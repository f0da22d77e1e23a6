// A host in protected mode is in a COM apartment before it calls the
// library; these tests run on such an MTA thread.
#include <gtest/gtest.h>

#include <vesko/raii.h>

int main(int argc, char** argv) {
    vesko::ComApartment apartment(COINIT_MULTITHREADED);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
