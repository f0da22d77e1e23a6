// The companion libraries as a host meets them through veskolib.dll: one copy
// of each per process, shared by the host and the library. With a copy on
// each side, the observer base would keep its delivery records under the
// library's thread identities and look them up under the host's, so an
// observer that unregisters itself from its callback would wait for itself.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <cdexpservice.h>
#include <iomanager.h>

#include <vesko/raii.h>

namespace {

// How many modules of this name the process has loaded.
int LoadedCopies(const char* name) {
    vesko::UniqueHandle snapshot(
        CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId()));
    if (snapshot.Get() == INVALID_HANDLE_VALUE) {
        snapshot.Release();
        return -1;
    }
    MODULEENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int copies = 0;
    for (BOOL more = Module32First(snapshot.Get(), &entry); more;
         more = Module32Next(snapshot.Get(), &entry)) {
        if (lstrcmpiA(entry.szModule, name) == 0)
            ++copies;
    }
    return copies;
}

TEST(Companions, EachIsOneDllLoadedOnce) {
    // The library is linked, so its companions are loaded with the program.
    for (const char* name : {"sysinfolib.dll", "discdatalib.dll", "discburnlib.dll"})
        EXPECT_EQ(LoadedCopies(name), 1) << name;
}

// Unregisters itself from its first event, on the thread that delivers it.
class SelfRemover : public Observer {
  public:
    SelfRemover() : m_returned(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    void OnEvent(Observable* source, unsigned int eventId, void*) override {
        events.push_back(eventId);
        source->RemoveObserver(this);
        SetEvent(m_returned.Get());
    }
    HANDLE Returned() const { return m_returned.Get(); }
    std::vector<unsigned int> events;

  private:
    vesko::UniqueHandle m_returned;
};

// Stays registered and records what it sees until the job has finished.
class Recorder : public Observer {
  public:
    Recorder() : m_finished(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    void OnEvent(Observable*, unsigned int eventId, void*) override {
        events.push_back(eventId);
        if (eventId == 6)
            SetEvent(m_finished.Get());
    }
    HANDLE Finished() const { return m_finished.Get(); }
    std::vector<unsigned int> events;

  private:
    vesko::UniqueHandle m_finished;
};

std::string Join(const std::vector<unsigned int>& events) {
    std::string text;
    for (unsigned int e : events)
        text += (text.empty() ? "" : " ") + std::to_string(e);
    return text;
}

TEST(Companions, AnObserverOfTheHostRemovesItselfOnTheLibrarysThread) {
    // A host has threads of its own before it uses the library. Made here,
    // they keep this program's numbering of threads from matching the
    // library's by chance, as it would not in a real host either.
    for (int i = 0; i < 4; ++i)
        std::thread([] {}).join();
    IOManager& manager = IOManager::GetIOManager();
    ASSERT_FALSE(manager.IsIEProtectedMode());
    CDExpService* service = manager.GetCDExpService();
    ASSERT_NE(service, nullptr);
    SelfRemover remover;
    Recorder recorder;
    service->AddObserver(&remover);
    service->AddObserver(&recorder);
    // The direct service's worker thread delivers 1, 2, 6.
    service->StartValidateDrive();
    if (WaitForSingleObject(remover.Returned(), 20000) != WAIT_OBJECT_0) {
        // The worker is stuck in RemoveObserver: nothing can end it, and
        // releasing the service would wait for it forever.
        std::printf(
            "FAILED: RemoveObserver from the callback did not return within 20 s "
            "(events seen: %s)\n",
            Join(remover.events).c_str());
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    ASSERT_EQ(WaitForSingleObject(recorder.Finished(), 20000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "events: " << Join(recorder.events);
    EXPECT_EQ(Join(remover.events), "1");
    EXPECT_EQ(Join(recorder.events), "1 2 6");
    service->RemoveObserver(&recorder);
    manager.ReleaseCDExpService();
    IOManager::ReleaseIOManager();
}

}  // namespace
