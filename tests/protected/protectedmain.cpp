// The tests run on an MTA thread, as a host in protected mode is in a COM
// apartment before it calls the library.
#include <gtest/gtest.h>

#include <vesko/raii.h>

#ifdef VESKOLIB_STATIC  // the library's classes linked in: veskolib.dll's application object
#include "cveskolibapp.h"
CVeskoLibApp theApp;
#endif

int main(int argc, char** argv) {
    vesko::ComApartment apartment(COINIT_MULTITHREADED);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
