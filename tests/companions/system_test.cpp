// The system questions against the Wine prefix: SysInfoLib's version answers from the real
// registry and kernel and its observer base under concurrent use; AppFrameLib's application base
// with real satellite DLLs: this program ships companions_systemENU.dll and
// companions_systemDEU.dll beside itself, each with string 101 in its language, and has its own
// string 101.
#include "basewinapp.h"
#include "observable.h"
#include "osinfo.h"
#include "systeminfo.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vesko/raii.h>

namespace {

using vesko::test::StartProcess;
using vesko::test::ThisProgram;

constexpr const char* kVersionProbe = "--os-version-probe";
constexpr const char* kLanguageProbe = "--language-probe";
constexpr DWORD kProbeOlder = 10, kProbeVistaOrNewer = 11;
constexpr UINT kStringId = 101;

// Runs this program again with arguments (and environment, when given): its exit code, or
// 0xFFFFFFF1 when it could not start.
DWORD RunProbe(const std::string& arguments, char* environment = nullptr) {
    DWORD code = 0xFFFFFFF1;
    if (const vesko::UniqueHandle process =
            StartProcess("\"" + ThisProgram() + "\" " + arguments, environment)) {
        WaitForSingleObject(process.Get(), 30000);
        GetExitCodeProcess(process.Get(), &code);
    }
    return code;
}

// Sets (text non-null) or deletes a REG_SZ value, creating the key.
void SetText(HKEY root, const char* key, const char* name, const char* text) {
    if (text)
        ASSERT_EQ(RegSetKeyValueA(root, key, name, REG_SZ, text,
                                  static_cast<DWORD>(std::strlen(text) + 1)),
                  ERROR_SUCCESS);
    else
        RegDeleteKeyValueA(root, key, name);
}

// This program again, as a probe, under the Windows version Wine is told to report for it (its
// AppDefaults key, read at start).
TEST(OSInfo, FollowsTheVersionTheSystemReports) {
    const std::string exe = ThisProgram();
    const std::string key = "Software\\Wine\\AppDefaults" + exe.substr(exe.rfind('\\'));
    // Vista is 6.0, the boundary; Server 2003 (5.2) is the last one before.
    for (const auto& [version, expected] : {std::pair<const char*, DWORD>{"win2003", kProbeOlder},
                                            {"vista", kProbeVistaOrNewer},
                                            {"win10", kProbeVistaOrNewer}}) {
        SetText(HKEY_CURRENT_USER, key.c_str(), "Version", version);
        EXPECT_EQ(RunProbe(kVersionProbe), expected) << version;
    }
    RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    // This manifest-free program runs on the prefix's default, a modern version.
    EXPECT_TRUE(OSInfo::IsVistaOrNewer());
}

// (What the prefix itself holds is compared with the broker's GetIEVersion, which asks
// SystemInfo, in the broker tests.)
TEST(SystemInfo, IEVersionPrefersSvcVersionAndNeedsThreeNumbers) {
    // A private HKEY_LOCAL_MACHINE for this process, so that the browser's version takes known
    // values without touching what other programs read.
    const std::string machine =
        "Software\\VeskoTest\\machine-" + std::to_string(GetCurrentProcessId());
    vesko::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, machine.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.Receive(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, key.Get()), ERROR_SUCCESS);
    const char* F = "false 1111.2222.3333";
    const struct {
        const char* svcVersion;  // null: no such value
        const char* version;
        const char* expected;  // "a.b.c", or "false" and the numbers untouched
    } cases[] = {
        {nullptr, nullptr, F},  // no browser key at all
        {"11.0.9600.19041", "9.11.9600.19041", "11.0.9600"},
        {nullptr, "9.11.9600.19041", "9.11.9600"},
        {"garbage", "8.0.6001", "8.0.6001"},  // an unusable svcVersion falls back
        {"11.0", nullptr, F},
        {"11", nullptr, F},
        {"", nullptr, F},
        {"11.0.x", nullptr, F},
        {"11..0", nullptr, F},
        {"11.0.9600x", nullptr, F},
        {"a.b.c", nullptr, F},
        {"99999999999.0.0", nullptr, F},
        {"4294967295.7.0.1", nullptr, "4294967295.7.0"},
    };
    for (const auto& c : cases) {
        if (c.version || c.svcVersion) {
            const char* ieKey = "Software\\Microsoft\\Internet Explorer";
            SetText(HKEY_LOCAL_MACHINE, ieKey, "svcVersion", c.svcVersion);
            SetText(HKEY_LOCAL_MACHINE, ieKey, "Version", c.version);
        }
        unsigned a = 1111, b = 2222, n = 3333;
        const std::string ok = SystemInfo().IEVersion(a, b, n) ? "" : "false ";
        EXPECT_EQ(ok + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(n),
                  c.expected)
            << "svcVersion \"" << (c.svcVersion ? c.svcVersion : "-") << "\", Version \""
            << (c.version ? c.version : "-") << "\"";
    }
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    key.Reset();
    RegDeleteTreeA(HKEY_CURRENT_USER, machine.c_str());
}

// Appends "<name><eventId>/<data>" to a shared log, flagging a wrong source, then runs then once.
struct Logger : Observer {
    Logger(std::string& log, char name, Observable* source)
        : log(log), name(name), source(source) {}
    void OnEvent(Observable* from, unsigned int id, void* data) override {
        log += name + std::to_string(id) + "/" + std::to_string(reinterpret_cast<uintptr_t>(data)) +
               (from == source ? " " : "(wrong source) ");
        if (then)
            std::exchange(then, nullptr)();  // once
    }
    std::string& log;
    char name;
    Observable* source;
    std::function<void()> then;
};

TEST(Observable, DeliversOnceInRegistrationOrderAsCallbacksChangeRegistrations) {
    Observable subject;
    std::string log;
    Logger a(log, 'a', &subject), b(log, 'b', &subject), late(log, 'l', &subject);
    subject.AddObserver(&b);
    subject.AddObserver(&a);
    subject.AddObserver(&b);  // again: still once
    subject.AddObserver(nullptr);
    subject.PostEvent(77, reinterpret_cast<void*>(uintptr_t{42}));
    EXPECT_EQ(log, "b77/42 a77/42 ");
    subject.RemoveObserver(&a);
    subject.RemoveObserver(&a);
    subject.RemoveObserver(nullptr);
    subject.PostEvent(5, nullptr);
    EXPECT_EQ(log, "b77/42 a77/42 b5/0 ");
    subject.AddObserver(&a);
    // On its next event b removes itself and a (registered after it), adds late and posts from
    // inside the delivery: a, removed before its turn, gets nothing; late only the nested 99.
    b.then = [&] {
        subject.RemoveObserver(&b);
        subject.RemoveObserver(&a);
        subject.AddObserver(&late);
        subject.PostEvent(99, nullptr);
    };
    log.clear();
    subject.PostEvent(1, nullptr);
    subject.PostEvent(2, nullptr);
    EXPECT_EQ(log, "b1/0 l99/0 l2/0 ");
}

// Threads post all the time while an observer comes and goes: the observers registered
// throughout get every event, each poster's in its order, and none arrives after RemoveObserver
// returned.
TEST(Observable, PostsFromAnyThreadReachObserversInOrderAndNeverAfterRemoval) {
    Observable subject;
    constexpr unsigned kThreads = 4;
    struct Ordered : Observer {
        std::mutex mutex;
        std::vector<long> last = std::vector<long>(kThreads, -1);
        long count = 0, disorder = 0;
        void OnEvent(Observable*, unsigned int id, void* data) override {
            const long n = static_cast<long>(reinterpret_cast<intptr_t>(data));
            std::lock_guard<std::mutex> lock(mutex);
            disorder += n <= last[id];
            last[id] = n;
            ++count;
        }
    } first, second;
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
    subject.AddObserver(&first);
    subject.AddObserver(&second);
    std::atomic<bool> stop{false};
    std::atomic<long> posted{0};
    std::vector<std::thread> posters;
    for (unsigned t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (intptr_t i = 0; !stop; ++i, ++posted)
                subject.PostEvent(t, reinterpret_cast<void*>(i));
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
    EXPECT_GT(delivered, 0) << "the posters never reached the observer that came and went";
    for (Ordered* o : {&first, &second})
        EXPECT_EQ(std::to_string(o->count) + " " + std::to_string(o->disorder),
                  std::to_string(posted) + " 0");
}

struct TestApp : BaseWinApp {};

std::string LoadText(HINSTANCE module, UINT id) {
    char text[256] = {};
    const int n = LoadStringA(module, id, text, sizeof text);
    return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04lX", value);
    return text;
}

// A module state for module, as the framework makes for a module.
AFX_MODULE_STATE StateOf(HMODULE module) {
    AFX_MODULE_STATE state = {};
    state.m_hCurrentInstanceHandle = module;
    return state;
}

// An observer may destroy the observable it is called from (a host releasing the service from
// its callback): the delivery ends after it, later observers get nothing of that event, and a
// channel to the object drops what is posted afterwards instead of reaching freed memory.
TEST(Observable, AnObserverMayDestroyItsSourceAndChannelsThenDropPosts) {
    std::string log;
    auto subject = std::make_unique<Observable>();
    Logger first(log, 'f', subject.get()), after(log, 'a', subject.get());
    subject->AddObserver(&first);
    subject->AddObserver(&after);
    const Observable::Channel channel = subject->GetChannel();
    EXPECT_TRUE(channel.IsOpen());
    channel.PostEvent(1, nullptr);
    first.then = [&] { subject.reset(); };
    channel.PostEvent(2, nullptr);
    EXPECT_EQ(subject, nullptr);
    EXPECT_FALSE(channel.IsOpen());
    channel.PostEvent(3, nullptr);
    Observable::Channel().PostEvent(4, nullptr);  // a channel to nothing drops too
    EXPECT_EQ(log, "f1/0 a1/0 f2/0 ");
}

TEST(BaseWinApp, ASatelliteBecomesTheResourceModuleWhileTheAppLives) {
    AFX_MODULE_STATE state = StateOf(GetModuleHandleA(nullptr));
    const HINSTANCE program = state.m_hCurrentInstanceHandle;
    ASSERT_EQ(LoadText(program, kStringId), "from the program itself");
    {
        TestApp app;
        app.InitializeResources(&state);
        EXPECT_NE(state.m_hCurrentResourceHandle, program) << "no satellite was chosen";
        const std::string text = LoadText(state.m_hCurrentResourceHandle, kStringId);
        EXPECT_EQ(text, app.GetLanguageID() == 0x0407 ? "vom deutschen Satelliten"
                                                      : "from the English satellite")
            << "language " << Hex(app.GetLanguageID());
        // The framework's own lookups follow the state.
        AFX_MANAGE_STATE(&state);
        CString viaFramework;
        EXPECT_TRUE(viaFramework.LoadString(kStringId));
        EXPECT_EQ(std::string(viaFramework.GetString()), text);
        EXPECT_TRUE(app.InitInstance());
    }
    // The satellite went with the application: lookups are back on the module.
    EXPECT_EQ(state.m_hCurrentResourceHandle, program);
    // No kernel32<LANG>.dll lies beside kernel32: it keeps its own resources.
    AFX_MODULE_STATE kernel = StateOf(GetModuleHandleA("kernel32.dll"));
    TestApp app;
    app.InitializeResources(&kernel);
    EXPECT_EQ(kernel.m_hCurrentResourceHandle, kernel.m_hCurrentInstanceHandle);
    EXPECT_EQ(app.GetLanguageID(), GetUserDefaultUILanguage());
    app.InitializeResources(nullptr);  // ignored
}

// Runs this program as a probe under a Unix locale (which Wine turns into the
// user's UI language) and returns "<UI language>|<chosen language>|<text>".
std::string ProbeUnderLocale(const char* locale) {
    vesko::test::ScratchDir scratch("appframe");
    const std::string out = scratch / "probe.txt";
    // The environment block: ours with the locale variables replaced.
    std::string block;
    for (const char* p = GetEnvironmentStringsA(); *p; p += std::strlen(p) + 1) {
        const std::string entry = p, name = entry.substr(0, entry.find('='));
        if (name != "LANG" && name != "LC_ALL" && name != "LC_MESSAGES" && name != "LANGUAGE")
            block += entry + '\0';
    }
    block += std::string("LANG=") + locale + '\0' + "LC_ALL=" + locale + '\0' + '\0';
    if (const DWORD code = RunProbe(std::string(kLanguageProbe) + " \"" + out + "\"", &block[0]))
        return "the probe ended with " + std::to_string(code);
    return vesko::test::ReadFileText(out);
}

TEST(BaseWinApp, ChoosesTheSatelliteOfTheUserLanguageElseEnglish) {
    const std::string german = ProbeUnderLocale("de_DE.UTF-8");
    if (german.rfind("0x", 0) == 0 && german.rfind("0x0407|", 0) != 0)
        GTEST_SKIP() << "Wine did not take the UI language from the locale: " << german;
    EXPECT_EQ(german, "0x0407|0x0407|vom deutschen Satelliten");
    // No French satellite: English is the fallback, and the language reported.
    EXPECT_EQ(ProbeUnderLocale("fr_FR.UTF-8"), "0x040C|0x0409|from the English satellite");
    EXPECT_EQ(ProbeUnderLocale("en_US.UTF-8"), "0x0409|0x0409|from the English satellite");
}

int LanguageProbe(const char* out) {
    AFX_MODULE_STATE state = StateOf(GetModuleHandleA(nullptr));
    TestApp app;
    app.InitializeResources(&state);
    const std::string line = Hex(GetUserDefaultUILanguage()) + "|" + Hex(app.GetLanguageID()) +
                             "|" + LoadText(state.m_hCurrentResourceHandle, kStringId);
    return vesko::test::WriteFileText(out, line) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kVersionProbe) == 0)
        return OSInfo::IsVistaOrNewer() ? kProbeVistaOrNewer : kProbeOlder;
    if (argc > 2 && std::strcmp(argv[1], kLanguageProbe) == 0)
        return LanguageProbe(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
