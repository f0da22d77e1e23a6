// SysInfoLib: the version questions against the Wine prefix's real registry
// and kernel, and the observer base under concurrent use.
#include "observable.h"
#include "osinfo.h"
#include "systeminfo.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vesko/raii.h>

namespace {

constexpr const char* kProbeArgument = "--os-version-probe";
constexpr int kProbeOlder = 10, kProbeVistaOrNewer = 11;
constexpr const char* kIEKey = "Software\\Microsoft\\Internet Explorer";

// Sets (text non-null) or deletes a REG_SZ value, creating the key.
void SetText(HKEY root, const std::string& key, const char* name, const char* text) {
    vesko::UniqueHKey h;
    ASSERT_EQ(RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, h.Receive(),
                              nullptr),
              ERROR_SUCCESS)
        << key;
    if (text)
        RegSetValueExA(h.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>(std::strlen(text) + 1));
    else
        RegDeleteValueA(h.Get(), name);
}

// Runs this program again as a probe, under the Windows version Wine is told
// (by the program's AppDefaults key, read at start) to report for it, and
// returns the probe's exit code.
DWORD ProbeUnderVersion(const char* version) {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    const std::string key = std::string("Software\\Wine\\AppDefaults") + std::strrchr(exe, '\\');
    SetText(HKEY_CURRENT_USER, key, "Version", version);
    std::string command = std::string("\"") + exe + "\" " + kProbeArgument;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    DWORD code = 0xFFFFFFF1;
    if (CreateProcessA(exe, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 30000);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    return code;
}

TEST(OSInfo, FollowsTheVersionTheSystemReports) {
    // Vista is 6.0, the boundary; Server 2003 (5.2) is the last one before.
    for (const auto& [version, expected] : {std::pair<const char*, int>{"win2003", kProbeOlder},
                                            {"vista", kProbeVistaOrNewer},
                                            {"win10", kProbeVistaOrNewer}})
        EXPECT_EQ(ProbeUnderVersion(version), static_cast<DWORD>(expected)) << version;
    // This manifest-free program runs on the prefix's default, a modern version.
    EXPECT_TRUE(OSInfo::IsVistaOrNewer());
}

// "a.b.c", "false", or "false, but changed the numbers".
std::string AskIE() {
    unsigned a = 1111, b = 2222, c = 3333;
    if (SystemInfo().IEVersion(a, b, c))
        return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
    return a == 1111 && b == 2222 && c == 3333 ? "false" : "false, but changed the numbers";
}

// (What the prefix itself holds is compared with the broker's GetIEVersion,
// which asks SystemInfo, in the broker tests.)
TEST(SystemInfo, IEVersionPrefersSvcVersionAndNeedsThreeNumbers) {
    // A private HKEY_LOCAL_MACHINE for this process, so that the browser's
    // version takes known values without touching what other programs read.
    const std::string machine =
        "Software\\VeskoTest\\machine-" + std::to_string(GetCurrentProcessId());
    RegDeleteTreeA(HKEY_CURRENT_USER, machine.c_str());
    vesko::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, machine.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.Receive(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, key.Get()), ERROR_SUCCESS);
    EXPECT_EQ(AskIE(), "false") << "no browser key at all";

    const struct {
        const char* svcVersion;
        const char* version;
        const char* expected;
    } cases[] = {
        {"11.0.9600.19041", "9.11.9600.19041", "11.0.9600"},
        {nullptr, "9.11.9600.19041", "9.11.9600"},
        {"garbage", "8.0.6001", "8.0.6001"},  // an unusable svcVersion falls back
        {"11.0", nullptr, "false"},
        {"11", nullptr, "false"},
        {"", nullptr, "false"},
        {"11.0.x", nullptr, "false"},
        {"11..0", nullptr, "false"},
        {"11.0.9600x", nullptr, "false"},
        {"a.b.c", nullptr, "false"},
        {"99999999999.0.0", nullptr, "false"},
        {"4294967295.7.0.1", nullptr, "4294967295.7.0"},
    };
    for (const auto& c : cases) {
        SetText(HKEY_LOCAL_MACHINE, kIEKey, "svcVersion", c.svcVersion);
        SetText(HKEY_LOCAL_MACHINE, kIEKey, "Version", c.version);
        EXPECT_EQ(AskIE(), c.expected) << "svcVersion \"" << (c.svcVersion ? c.svcVersion : "-")
                                       << "\", Version \"" << (c.version ? c.version : "-") << "\"";
    }
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    key.Reset();
    RegDeleteTreeA(HKEY_CURRENT_USER, machine.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, machine.c_str());
}

// Observable.

// Appends "<name><eventId>/<data>" to a shared log; flags a wrong source.
struct Logger : Observer {
    Logger(std::string& log, char name, Observable* source = nullptr)
        : log(log), name(name), source(source) {}
    void OnEvent(Observable* from, unsigned int id, void* data) override {
        log += name + std::to_string(id) + "/" + std::to_string(reinterpret_cast<uintptr_t>(data)) +
               (from == source ? " " : "(wrong source) ");
        if (then)
            then();
    }
    std::string& log;
    char name;
    Observable* source;
    std::function<void()> then;
};

TEST(Observable, DeliversToEachObserverOnceInOrderOfRegistration) {
    Observable subject;
    std::string log;
    Logger a(log, 'a', &subject), b(log, 'b', &subject), c(log, 'c', &subject);
    subject.AddObserver(&b);
    subject.AddObserver(&a);
    subject.AddObserver(&b);  // again: still once
    subject.AddObserver(nullptr);
    subject.AddObserver(&c);
    subject.PostEvent(77, reinterpret_cast<void*>(uintptr_t{42}));
    EXPECT_EQ(log, "b77/42 a77/42 c77/42 ");
    subject.RemoveObserver(&a);
    subject.RemoveObserver(&a);
    subject.RemoveObserver(nullptr);
    log.clear();
    subject.PostEvent(5, nullptr);
    EXPECT_EQ(log, "b5/0 c5/0 ");
}

TEST(Observable, ObserversChangeRegistrationsFromTheirCallbacks) {
    Observable subject;
    std::string log;
    Logger meddler(log, 'm', &subject), victim(log, 'v', &subject), late(log, 'l', &subject);
    // On its first event the meddler removes itself and victim (registered
    // after it), adds late and posts from inside the delivery.
    meddler.then = [&] {
        subject.RemoveObserver(&meddler);
        subject.RemoveObserver(&victim);
        subject.AddObserver(&late);
        subject.PostEvent(99, nullptr);
    };
    subject.AddObserver(&meddler);
    subject.AddObserver(&victim);
    subject.PostEvent(1, nullptr);
    // victim, removed before its turn, gets nothing; late only the nested 99.
    EXPECT_EQ(log, "m1/0 l99/0 ");
    subject.PostEvent(2, nullptr);
    EXPECT_EQ(log, "m1/0 l99/0 l2/0 ");
}

TEST(Observable, ConcurrentPostsReachEveryObserverInPostingOrder) {
    Observable subject;
    constexpr int kThreads = 8, kEvents = 2000;
    struct Ordered : Observer {
        std::mutex mutex;
        std::vector<int> last = std::vector<int>(kThreads, -1);
        int count = 0, disorder = 0;
        void OnEvent(Observable*, unsigned int id, void* data) override {
            const int n = static_cast<int>(reinterpret_cast<intptr_t>(data));
            std::lock_guard<std::mutex> lock(mutex);
            disorder += n <= last[id];
            last[id] = n;
            ++count;
        }
    } first, second;
    subject.AddObserver(&first);
    subject.AddObserver(&second);
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEvents; ++i)
                subject.PostEvent(static_cast<unsigned>(t), reinterpret_cast<void*>(intptr_t{i}));
        });
    for (auto& p : posters)
        p.join();
    for (Ordered* o : {&first, &second}) {
        EXPECT_EQ(o->count, kThreads * kEvents);
        EXPECT_EQ(o->disorder, 0);
    }
}

TEST(Observable, NoDeliveryAfterRemoveReturns) {
    Observable subject;
    // Slow on purpose, so that removals often overlap a delivery.
    struct Watched : Observer {
        std::atomic<bool> removed{false};
        std::atomic<int> late{0}, count{0};
        void OnEvent(Observable*, unsigned int, void*) override {
            late += removed;
            ++count;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            late += removed;
        }
    };
    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t)
        posters.emplace_back([&] {
            while (!stop)
                subject.PostEvent(1, nullptr);
        });
    int late = 0, delivered = 0;
    for (int round = 0; round < 100; ++round) {
        Watched watched;
        subject.AddObserver(&watched);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        subject.RemoveObserver(&watched);
        watched.removed = true;
        // Give a stale delivery time to show up before watched goes away.
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        late += watched.late;
        delivered += watched.count;
    }
    stop = true;
    for (auto& p : posters)
        p.join();
    EXPECT_EQ(late, 0) << "deliveries after RemoveObserver returned";
    EXPECT_GT(delivered, 0) << "the posters never reached the observers";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kProbeArgument) == 0)
        return OSInfo::IsVistaOrNewer() ? kProbeVistaOrNewer : kProbeOlder;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
