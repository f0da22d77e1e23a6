// Entry of the broker test programs: the main thread joins the
// multithreaded apartment, as the library's worker does, and the program's
// shared broker is activated before the first test. With --child-client
// <file> the program is a client instead: it activates a broker, writes the
// broker's process id to <file> and waits to be killed.
#include <gtest/gtest.h>

#include <cstring>

#include "brokersession.h"

int main(int argc, char** argv) {
    using namespace vesko::test;
    vesko::ComApartment apartment(COINIT_MULTITHREADED);
    if (argc == 3 && std::strcmp(argv[1], "--child-client") == 0) {
        BrokerSession session;
        DWORD code = 0;
        if (FAILED(session.Open()) ||
            FAILED(session.Get<IFileIOBroker>()->IsDestinationWritable(
                Bstr(Identity()).Get(), Bstr(Known::Writable()).Get(), &code)))
            return 3;
        WriteFileText(argv[2], std::to_string(session.ProcessId()));
        Sleep(60 * 1000);
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    SharedBroker shared;
    g_shared = &shared;
    const HRESULT hr = shared.Open();
    if (FAILED(hr))
        std::printf("no broker: 0x%08lX (is it registered? scripts/register-broker.sh)\n",
                    static_cast<unsigned long>(hr));
    return FAILED(hr) ? 1 : RUN_ALL_TESTS();
}
