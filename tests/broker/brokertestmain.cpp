// Entry of the broker test programs: the main thread joins the
// multithreaded apartment, as the library's worker does, and the program's
// shared broker is activated before the first test.
#include <gtest/gtest.h>

#include <cstdio>

#include "brokersession.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vesko::ComApartment apartment(COINIT_MULTITHREADED);
    vesko::test::SharedBroker shared;
    if (const HRESULT hr = shared.Open(); FAILED(hr)) {
        std::printf(
            "the broker could not be activated: 0x%08lX (is it registered? "
            "scripts/register-broker.sh)\n",
            static_cast<unsigned long>(hr));
        return 1;
    }
    return RUN_ALL_TESTS();
}
