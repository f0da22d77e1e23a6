// veskobroker.exe: the medium-integrity COM local server that acts for a host
// running at low integrity. COM starts it with "-Embedding"; it serves one
// Broker object to one client and ends with that client.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <thread>

#include <ace/Init_ACE.h>

#include <vesko/raii.h>

#include "brokerobject.h"
#include "brokercontext.h"
#include "classfactory.h"
#include "clientwatch.h"
#include "dialogoperations.h"
#include "discrecorder.h"
#include "fileoperations.h"
#include "serverlifetime.h"
#include "veskobroker.h"

using namespace vesko;
using namespace vesko::broker;

namespace {

// How long a broker waits for its client's first call before it gives up.
constexpr DWORD kConnectTimeoutMs = 60 * 1000;
// How long the ending broker may take to clean up before it is cut short:
// the broker must be gone within a second of its client.
constexpr DWORD kShutdownGraceMs = 800;

bool StartedByCom() {
    int count = 0;
    UniqueLocal owner;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    owner.Reset(args);
    for (int i = 1; args && i < count; ++i) {
        const wchar_t* arg = args[i];
        if ((arg[0] == L'-' || arg[0] == L'/') && lstrcmpiW(arg + 1, L"Embedding") == 0)
            return true;
    }
    return false;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // A broker nobody activated has no client to act for.
    if (!StartedByCom())
        return 2;

    // The broker refuses to load DLLs from the current folder, which it
    // inherits from its (untrusted) client.
    SetDllDirectoryW(L"");
    ACE::init();

    ServerLifetime lifetime;
    ClientWatch watch(lifetime);
    watch.WatchParent();

    int exitCode = 0;
    {
        ComApartment apartment(COINIT_MULTITHREADED);
        if (FAILED(apartment.Result()))
            return 3;

        BrokerContext context;
        std::string failure;
        if (!context.Start(failure)) {
            // Without its folders or audit log the broker serves nobody; the
            // client's activation fails instead of reaching an unsafe broker.
            OutputDebugStringA(("veskobroker: " + failure + "\n").c_str());
            ACE::fini();
            return 4;
        }
        context.Audit().Note("broker starts, client process " +
                             std::to_string(watch.ClientProcessId()));

        FileOperations files(context);
        DialogOperations dialogs(context);
        DiscRecorder disc(context);
        if (!disc.CreateEvents())
            context.Audit().Note("the disc events could not all be created");

        ComPtr<BrokerObject> broker;
        broker.Attach(new BrokerObject(context, lifetime, files, dialogs, disc));
        ClassFactory factory(*broker.Get(), lifetime, watch);
        DWORD registration = 0;
        HRESULT hr = CoRegisterClassObject(CLSID_Broker, &factory, CLSCTX_LOCAL_SERVER,
                                           REGCLS_SINGLEUSE, &registration);
        if (FAILED(hr)) {
            context.Audit().Note("class registration failed, hr=" + std::to_string(hr));
            exitCode = 5;
        } else {
            DWORD wait = WaitForSingleObject(lifetime.ShutdownEvent(), kConnectTimeoutMs);
            if (wait == WAIT_TIMEOUT && !lifetime.WasUsed())
                lifetime.RequestShutdown("no client connected");
            WaitForSingleObject(lifetime.ShutdownEvent(), INFINITE);

            // From here on the broker must end promptly whatever hangs (a
            // dialog nobody answers, a disc job that does not stop).
            std::thread([] {
                Sleep(kShutdownGraceMs);
                TerminateProcess(GetCurrentProcess(), 6);
            }).detach();
            CoRevokeClassObject(registration);
            CoDisconnectObject(static_cast<IBroker*>(broker.Get()), 0);
        }
        disc.Shutdown();
        files.Shutdown();
        context.Audit().Note(std::string("broker ends: ") +
                             (lifetime.Reason() ? lifetime.Reason() : "start-up failed"));
        broker.Reset();
    }
    ACE::fini();
    return exitCode;
}
