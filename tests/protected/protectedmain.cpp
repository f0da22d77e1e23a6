// The protected-mode test programs run their tests on an MTA thread, as a
// host in protected mode must be in a COM apartment before it calls the
// library.
#include <gtest/gtest.h>

#include <vesko/raii.h>

#include "cveskolibapp.h"

// The library's classes are linked in, so the program carries the
// application object veskolib.dll would.
CVeskoLibApp theApp;

int main(int argc, char** argv) {
    vesko::ComApartment apartment(COINIT_MULTITHREADED);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
