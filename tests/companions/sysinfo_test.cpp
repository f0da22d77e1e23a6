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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kProbeArgument = "--os-version-probe";
constexpr int kProbeOlder = 10;
constexpr int kProbeVistaOrNewer = 11;

// Deletes a key and everything below it.
void DeleteTree(HKEY root, const std::string& path) {
    RegDeleteTreeA(root, path.c_str());
    RegDeleteKeyA(root, path.c_str());
}

// Runs this program again as a probe, under the Windows version Wine is told
// to report for it, and returns the probe's exit code.
DWORD ProbeUnderVersion(const char* version) {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    const char* name = std::strrchr(exe, '\\') ? std::strrchr(exe, '\\') + 1 : exe;
    // Wine reads the version for a program from its AppDefaults key when the
    // program starts.
    const std::string key = std::string("Software\\Wine\\AppDefaults\\") + name;
    HKEY h = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h,
                        nullptr) != ERROR_SUCCESS)
        return 0xFFFFFFF0;
    RegSetValueExA(h, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   static_cast<DWORD>(std::strlen(version) + 1));
    RegCloseKey(h);

    std::string command = std::string("\"") + exe + "\" " + kProbeArgument;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    DWORD code = 0xFFFFFFF1;
    if (CreateProcessA(exe, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 30000);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    DeleteTree(HKEY_CURRENT_USER, key);
    return code;
}

TEST(OSInfo, FollowsTheVersionTheSystemReports) {
    // Vista is 6.0, the boundary; Server 2003 (5.2) is the last one before.
    EXPECT_EQ(ProbeUnderVersion("win2003"), static_cast<DWORD>(kProbeOlder));
    EXPECT_EQ(ProbeUnderVersion("vista"), static_cast<DWORD>(kProbeVistaOrNewer));
    EXPECT_EQ(ProbeUnderVersion("win10"), static_cast<DWORD>(kProbeVistaOrNewer));
    // The manifest-free test program itself runs on the prefix's default,
    // a modern version; asking again gives the same answer.
    EXPECT_TRUE(OSInfo::IsVistaOrNewer());
    EXPECT_EQ(OSInfo::IsVistaOrNewer(), OSInfo::IsVistaOrNewer());
}

// Gives this process a private HKEY_LOCAL_MACHINE for one scope, so that
// the browser's version can be set to known values without touching the
// prefix other programs read.
class PrivateMachineKey {
  public:
    PrivateMachineKey() {
        m_path = "Software\\VeskoTest\\machine-" + std::to_string(GetCurrentProcessId());
        DeleteTree(HKEY_CURRENT_USER, m_path);
        m_ok = RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &m_key, nullptr) == ERROR_SUCCESS &&
               RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key) == ERROR_SUCCESS;
    }
    ~PrivateMachineKey() {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        if (m_key)
            RegCloseKey(m_key);
        DeleteTree(HKEY_CURRENT_USER, m_path);
    }
    bool Ok() const { return m_ok; }
    // Sets (text non-null) or deletes the value of the browser's key.
    void SetIE(const char* name, const char* text) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", 0,
                                  nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        if (text)
            RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           static_cast<DWORD>(std::strlen(text) + 1));
        else
            RegDeleteValueA(h, name);
        RegCloseKey(h);
    }

  private:
    std::string m_path;
    HKEY m_key = nullptr;
    bool m_ok = false;
};

std::string Version(bool ok, unsigned a, unsigned b, unsigned c) {
    return ok ? std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) : "false";
}

std::string AskIE() {
    unsigned a = 1111, b = 2222, c = 3333;
    const bool ok = SystemInfo().IEVersion(a, b, c);
    if (!ok && (a != 1111 || b != 2222 || c != 3333))
        return "false, but changed the numbers";
    return Version(ok, a, b, c);
}

TEST(SystemInfo, IEVersionMatchesThePrefixRegistry) {
    // What the prefix itself says, read here independently.
    char text[128] = {};
    DWORD size = sizeof text;
    std::string expected = "false";
    for (const char* name : {"svcVersion", "Version"}) {
        size = sizeof text;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", name,
                         RRF_RT_REG_SZ, nullptr, text, &size) == ERROR_SUCCESS) {
            unsigned a = 0, b = 0, c = 0;
            if (std::sscanf(text, "%u.%u.%u", &a, &b, &c) == 3) {
                expected = Version(true, a, b, c);
                break;
            }
        }
    }
    EXPECT_EQ(AskIE(), expected) << "registry text " << text;
}

TEST(SystemInfo, IEVersionPrefersSvcVersionAndNeedsThreeNumbers) {
    PrivateMachineKey machine;
    ASSERT_TRUE(machine.Ok()) << "RegOverridePredefKey failed";
    EXPECT_EQ(AskIE(), "false") << "no browser key at all";

    machine.SetIE("Version", "9.11.9600.19041");
    machine.SetIE("svcVersion", "11.0.9600.19041");
    EXPECT_EQ(AskIE(), "11.0.9600");

    machine.SetIE("svcVersion", nullptr);
    EXPECT_EQ(AskIE(), "9.11.9600");

    machine.SetIE("svcVersion", "garbage");
    machine.SetIE("Version", "8.0.6001");
    EXPECT_EQ(AskIE(), "8.0.6001") << "an unusable svcVersion falls back to Version";

    const char* unusable[] = {"11.0",  "11",         "",      "11.0.x",
                              "11..0", "11.0.9600x", "a.b.c", "99999999999.0.0"};
    machine.SetIE("Version", nullptr);
    for (const char* text : unusable) {
        machine.SetIE("svcVersion", text);
        EXPECT_EQ(AskIE(), "false") << "svcVersion \"" << text << "\"";
    }
    machine.SetIE("svcVersion", "4294967295.7.0.1");
    EXPECT_EQ(AskIE(), "4294967295.7.0");
}

// Observable.

class Counter : public Observer {
  public:
    void OnEvent(Observable* source, unsigned int id, void* data) override {
        if (m_source && source != m_source)
            wrongSource = true;
        ++count;
        lastId = id;
        lastData = data;
    }
    void Expect(Observable* source) { m_source = source; }
    std::atomic<int> count{0};
    std::atomic<unsigned> lastId{0};
    std::atomic<void*> lastData{nullptr};
    std::atomic<bool> wrongSource{false};

  private:
    Observable* m_source = nullptr;
};

TEST(Observable, DeliversToEachObserverOnceInOrderOfRegistration) {
    Observable subject;
    std::vector<int> order;
    struct Named : Observer {
        Named(std::vector<int>& o, int n) : out(o), name(n) {}
        void OnEvent(Observable*, unsigned int, void*) override { out.push_back(name); }
        std::vector<int>& out;
        int name;
    } a(order, 1), b(order, 2), c(order, 3);
    subject.AddObserver(&b);
    subject.AddObserver(&a);
    subject.AddObserver(&b);  // again: still once
    subject.AddObserver(nullptr);
    subject.AddObserver(&c);
    subject.PostEvent(4, nullptr);
    EXPECT_EQ(order, (std::vector<int>{2, 1, 3}));
    subject.RemoveObserver(&a);
    subject.RemoveObserver(&a);
    subject.RemoveObserver(nullptr);
    order.clear();
    subject.PostEvent(5, nullptr);
    EXPECT_EQ(order, (std::vector<int>{2, 3}));

    Counter counter;
    counter.Expect(&subject);
    subject.AddObserver(&counter);
    int value = 0;
    subject.PostEvent(77, &value);
    EXPECT_EQ(counter.count, 1);
    EXPECT_EQ(counter.lastId, 77u);
    EXPECT_EQ(counter.lastData, &value);
    EXPECT_FALSE(counter.wrongSource);
}

TEST(Observable, ObserversChangeRegistrationsFromTheirCallbacks) {
    Observable subject;
    Counter late, victim;
    // Removes itself on its first event; removes victim (registered after
    // it) and adds late.
    struct Meddler : Observer {
        Observable& subject;
        Observer& victim;
        Observer& late;
        int count = 0;
        Meddler(Observable& s, Observer& v, Observer& l) : subject(s), victim(v), late(l) {}
        void OnEvent(Observable*, unsigned int, void*) override {
            ++count;
            subject.RemoveObserver(this);
            subject.RemoveObserver(&victim);
            subject.AddObserver(&late);
            // Posting from inside a delivery works too.
            subject.PostEvent(99, nullptr);
        }
    } meddler(subject, victim, late);
    subject.AddObserver(&meddler);
    subject.AddObserver(&victim);
    subject.PostEvent(1, nullptr);
    EXPECT_EQ(meddler.count, 1);
    EXPECT_EQ(victim.count, 0) << "removed before its turn, it must not get the event";
    EXPECT_EQ(late.count, 1) << "late joined during event 1 and got only the nested 99";
    EXPECT_EQ(late.lastId, 99u);
    subject.PostEvent(2, nullptr);
    EXPECT_EQ(meddler.count, 1);
    EXPECT_EQ(late.count, 2);
    EXPECT_EQ(late.lastId, 2u);
}

TEST(Observable, ConcurrentPostsReachEveryObserver) {
    Observable subject;
    constexpr int kThreads = 8;
    constexpr int kEvents = 2000;
    // Checks that each poster's events arrive in the order it posted them.
    struct Ordered : Observer {
        std::mutex mutex;
        std::vector<int> last = std::vector<int>(kThreads, -1);
        int count = 0;
        int disorder = 0;
        void OnEvent(Observable*, unsigned int id, void* data) override {
            const int n = static_cast<int>(reinterpret_cast<intptr_t>(data));
            std::lock_guard<std::mutex> lock(mutex);
            if (n <= last[id])
                ++disorder;
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
    EXPECT_EQ(first.count, kThreads * kEvents);
    EXPECT_EQ(second.count, kThreads * kEvents);
    EXPECT_EQ(first.disorder, 0);
    EXPECT_EQ(second.disorder, 0);
}

TEST(Observable, NoDeliveryAfterRemoveReturns) {
    Observable subject;
    // Slow on purpose, so that removals often overlap a delivery.
    struct Watched : Observer {
        std::atomic<bool> removed{false};
        std::atomic<int> late{0};
        std::atomic<int> count{0};
        void OnEvent(Observable*, unsigned int, void*) override {
            if (removed)
                ++late;
            ++count;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (removed)
                ++late;
        }
    };
    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t)
        posters.emplace_back([&] {
            while (!stop)
                subject.PostEvent(1, nullptr);
        });
    int lateTotal = 0;
    int delivered = 0;
    for (int round = 0; round < 100; ++round) {
        Watched watched;
        subject.AddObserver(&watched);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        subject.RemoveObserver(&watched);
        watched.removed = true;
        // Give a stale delivery time to show up before watched goes away.
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        lateTotal += watched.late;
        delivered += watched.count;
    }
    stop = true;
    for (auto& p : posters)
        p.join();
    EXPECT_EQ(lateTotal, 0) << "deliveries after RemoveObserver returned";
    EXPECT_GT(delivered, 0) << "the posters never reached the observers";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kProbeArgument) == 0)
        return OSInfo::IsVistaOrNewer() ? kProbeVistaOrNewer : kProbeOlder;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
