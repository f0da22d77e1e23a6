// A host in protected mode is in a COM apartment before it calls the
// library; the tests run on such an MTA thread.
#include <gtest/gtest.h>

#include <vesko/raii.h>

#ifdef VESKOLIB_STATIC
// The library's classes are linked in, so the program carries the
// application object veskolib.dll would.
#include "cveskolibapp.h"
CVeskoLibApp theApp;
#endif

int main(int argc, char** argv) {
    vesko::ComApartment apartment(COINIT_MULTITHREADED);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
