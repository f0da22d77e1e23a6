// What hosts do with the disc export service, run in both modes through
// IOManager: direct (DiscBurnLib's recorder in the host) and protected (the
// real broker, the stand-in ieframe.dll deciding). A host must see the same
// events in the same order in both, whatever it does from its callbacks:
// start the next job, release or replace the service, deliver to its UI
// thread with SendMessage. Two hosts at once must not see each other's events.
#include <gtest/gtest.h>

#include <vesko/raii.h>

#include <cdexpservice.h>
#include <cdprogress.h>
#include <cdresult.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fileioservice.h"
#include "imapi2registration.h"
#include "iomanager.h"
#include "protectedtestsupport.h"
#include "testsupport.h"

using namespace vesko::test;

namespace {

constexpr int kRuns = 20;
constexpr UINT kDeliver = WM_APP + 1;

// One host's view of the events: "1", "2(v)", "3(v)", "4" (a run of progress
// as one), "5(first,second)", "6(v)", "7(v)", plus the host's own notes. The
// records of 4 and 5 are only borrowed: read during the call, never freed.
class EventText {
  public:
    void Add(unsigned int id, void* data) {
        std::string text = std::to_string(id);
        if (id == 4) {
            const auto* p = static_cast<const CDProgress*>(data);
            m_lastTotal = p ? p->GetValue2() : 0;
        } else if (id == 5) {
            const auto* r = static_cast<const CDResult*>(data);
            text +=
                r ? "(" + std::to_string(r->GetFirst()) + "," + std::to_string(r->GetSecond()) + ")"
                  : "(null)";
        } else if (id != 1) {
            text += "(" + std::to_string(reinterpret_cast<ULONG_PTR>(data)) + ")";
        }
        std::lock_guard<std::mutex> hold(m_lock);
        if (id == 4 && !m_items.empty() && m_items.back() == "4")
            return;
        m_items.push_back(text);
        m_changed.notify_all();
    }
    void Note(const std::string& text) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_items.push_back(text);
        m_changed.notify_all();
    }
    std::string Text() const {
        std::lock_guard<std::mutex> hold(m_lock);
        std::string out;
        for (const std::string& item : m_items)
            out += (out.empty() ? "" : " ") + item;
        return out;
    }
    // Whether at least items have come and the last of them is last.
    bool EndsWith(const std::string& last, size_t items) const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_items.size() >= items && !m_items.empty() && m_items.back() == last;
    }
    unsigned long LastTotal() const { return m_lastTotal; }

  private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_items;
    std::atomic<unsigned long> m_lastTotal{0};
};

// A hidden window on the host's thread; what is sent to it is written down
// there, as a host that hands events to its UI thread with SendMessage does.
class UiWindow {
  public:
    UiWindow() {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "VeskoHostRowsUi";
        RegisterClassA(&wc);
        m_hwnd = CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
    }
    ~UiWindow() { DestroyWindow(m_hwnd); }
    HWND Handle() const { return m_hwnd; }

  private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == kDeliver) {
            auto* target = reinterpret_cast<EventText*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
            if (target)
                target->Add(static_cast<unsigned int>(wp), reinterpret_cast<void*>(lp));
            return 0;
        }
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
    HWND m_hwnd = nullptr;
};

// Waits for done, handling what other threads send to this one meanwhile.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= until)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    return true;
}

// The folders a host burns from and to, below the product's writable folder
// (the broker allows nothing else).
struct Folders {
    std::string base, disc, image, small, big;
    void Make(const std::string& writable, const std::string& tag) {
        base = writable + "\\hostrows-" + tag + "-" + std::to_string(GetCurrentProcessId());
        RemoveTree(base);
        CreateDirectoryA(base.c_str(), nullptr);
        disc = base + "\\disc";
        image = base + "\\disc.iso";
        small = base + "\\small";
        big = base + "\\big.bin";
        CreateDirectoryA(small.c_str(), nullptr);
        for (int i = 0; i < 3; ++i)
            WriteFileText(small + "\\f" + std::to_string(i) + ".bin",
                          std::string(64 * 1024 + i, static_cast<char>('a' + i)));
        // Long enough that a cancel sent from the job's first event lands in it.
        WriteFileText(big, std::string(48 * 1024 * 1024, 'b'));
    }
    // An empty disc before each run.
    void FreshDisc() const {
        DeleteFileA(image.c_str());
        RemoveTree(disc);
        CreateDirectoryA(disc.c_str(), nullptr);
    }
};

// What one run of a row has at hand, on the host thread and in callbacks.
struct Host {
    IOManager* manager = nullptr;
    const Folders* folders = nullptr;
    std::atomic<CDExpService*> cd{nullptr};
    EventText log, second;
    HWND ui = nullptr;
    Observer* observer = nullptr;  // the row's first observer
    std::atomic<int> seen[8] = {};
};

// Forwards each event to the row's reaction, then writes it down (directly
// or through the UI thread's window).
class RowObserver : public Observer {
  public:
    RowObserver(Host& host, EventText& log, std::function<void(Host&, unsigned int)> react,
                bool viaWindow)
        : m_host(host), m_log(log), m_react(std::move(react)), m_viaWindow(viaWindow) {}
    void OnEvent(Observable*, unsigned int id, void* data) override {
        if (m_viaWindow)
            SendMessageA(m_host.ui, kDeliver, id, reinterpret_cast<LPARAM>(data));
        else
            m_log.Add(id, data);
        if (m_react && id < 8 && ++m_host.seen[id] == 1)
            m_react(m_host, id);
    }

  private:
    Host& m_host;
    EventText& m_log;
    std::function<void(Host&, unsigned int)> m_react;
    bool m_viaWindow;
};

struct Row {
    const char* name;
    // Prepares the disc and starts the job on the fresh service.
    std::function<void(Host&)> start;
    // Runs inside the callback of the first event of each id.
    std::function<void(Host&, unsigned int)> react;
    const char* expected;  // "a | b" where a second observer writes b
    bool viaWindow = false;
    bool twoObservers = false;
};

void Burn(Host& h, const std::string& source, const char* option = "", bool verify = false) {
    h.cd.load()->SetDrive((h.folders->disc + option).c_str());
    h.cd.load()->StartBurn(source.c_str(), verify);
}

// A real recorder at R: through IMAPI2: the test double stands in for the
// burner (registered for the table's run); its scenario lives in the user's
// registry, where the broker's copy of the double reads it too.
const wchar_t kScenario[] = L"Software\\VeskoLib\\Tests\\Imapi2Double";

void Recorder(Host& h, const wchar_t* medium, DWORD mediaType, DWORD failAt = 0xFFFFFFFF,
              DWORD paceMs = 0) {
    RegDeleteTreeW(HKEY_CURRENT_USER, kScenario);
    const auto text = [](const wchar_t* name, const std::wstring& value) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kScenario, name, REG_SZ, value.c_str(),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    const auto number = [](const wchar_t* name, DWORD value) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kScenario, name, REG_DWORD, &value, sizeof value);
    };
    text(L"Recorders", L"R:");
    text(L"Medium", medium);
    number(L"MediaType", mediaType);
    number(L"TotalSectors", 359846);
    number(L"FreeSectors", std::wstring(medium) == L"blank" ? 359846 : 0);
    number(L"SectorsPerUpdate", 16);
    number(L"FailAtSector", failAt);
    number(L"PaceMs", paceMs);
    const std::string dump = h.folders->base + "\\dump.iso";
    text(L"Dump", std::wstring(dump.begin(), dump.end()));
    h.cd.load()->SetDrive("R:");
}
constexpr DWORD kCdR = 2, kCdRw = 3;  // IMAPI_MEDIA_PHYSICAL_TYPE

// The same into a disc image.
void BurnImage(Host& h, const char* option, bool verify = false) {
    h.cd.load()->SetDrive((h.folders->image + option).c_str());
    h.cd.load()->StartBurn(h.folders->small.c_str(), verify);
}

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {"plain burn", [](Host& h) { Burn(h, h.folders->small); }, nullptr, "1 4 5(1,0) 6(1)"},
        // Cancel and Stop from the host's thread while the burn runs, onto a
        // drive slow enough (32 KiB/s: six seconds for the small tree) that
        // the request surely lands in it, however loaded the machine: in
        // protected mode the broker's recorder does not wait for the host,
        // and an unpaced burn may end before a request that crosses two
        // processes arrives.
        {"cancel",
         [](Host& h) {
             Burn(h, h.folders->small, "?dvd&speed=32");
             h.cd.load()->Cancel();
         },
         nullptr, "1 4 7(1) 5(1,8) 6(1)"},
        {"stop",
         [](Host& h) {
             Burn(h, h.folders->small, "?dvd&speed=32");
             h.cd.load()->Stop();
         },
         nullptr, "1 4 7(1) 5(1,9) 6(1)"},
        {"erase",
         [](Host& h) {
             for (int i = 0; i < 3; ++i)
                 WriteFileText(h.folders->disc + "\\old" + std::to_string(i),
                               std::string(9000, 'o'));
             h.cd.load()->SetDrive(h.folders->disc.c_str());
             h.cd.load()->StartErase(true);
         },
         nullptr, "1 4 5(2,0) 6(2)"},
        {"space query",
         [](Host& h) {
             h.cd.load()->SetDrive((h.folders->disc + "?size=10485760").c_str());
             h.cd.load()->StartGetDriveAvailSpace();
         },
         nullptr, "1 3(10240) 6(3)"},
        {"validation",
         [](Host& h) {
             h.cd.load()->SetDrive(h.folders->disc.c_str());
             h.cd.load()->StartValidateDrive();
         },
         nullptr, "1 2(0) 6(4)"},
        {"next job started from 5", [](Host& h) { Burn(h, h.folders->small); },
         [](Host& h, unsigned id) {
             if (id == 5)
                 h.cd.load()->StartErase(false);
         },
         "1 4 5(1,0) 6(1) 1 5(2,0) 6(2)"},
        {"next job started from 6", [](Host& h) { Burn(h, h.folders->small); },
         [](Host& h, unsigned id) {
             if (id == 6)
                 h.cd.load()->StartValidateDrive();
         },
         "1 4 5(1,0) 6(1) 1 2(0) 6(4)"},
        {"release from 6", [](Host& h) { Burn(h, h.folders->small); },
         [](Host& h, unsigned id) {
             if (id == 6) {
                 h.manager->ReleaseCDExpService();
                 h.cd = nullptr;
                 h.log.Note("released");
             }
         },
         "1 4 5(1,0) 6(1) released"},
        {"replace from 5", [](Host& h) { Burn(h, h.folders->small); },
         [](Host& h, unsigned id) {
             if (id != 5)
                 return;
             // The old service goes; its observers are the host's to add again.
             CDExpService* fresh = h.manager->GetCDExpService();
             h.log.Note("replaced");
             h.cd = fresh;
             fresh->AddObserver(h.observer);
             fresh->SetDrive(h.folders->disc.c_str());
             fresh->StartValidateDrive();
         },
         "1 4 5(1,0) replaced 1 2(0) 6(4)"},
        {"image burn with verify", [](Host& h) { BurnImage(h, "?cd-rw", true); }, nullptr,
         "1 4 5(1,0) 6(1)"},
        {"image cancel",
         [](Host& h) {
             BurnImage(h, "?dvd&speed=32");
             h.cd.load()->Cancel();
         },
         nullptr, "1 4 7(1) 5(1,8) 6(1)"},
        {"second burn onto a write-once image from 6", [](Host& h) { BurnImage(h, "?cd-r"); },
         [](Host& h, unsigned id) {
             if (id == 6)
                 h.cd.load()->StartBurn(h.folders->small.c_str(), false);
         },
         "1 4 5(1,0) 6(1) 1 5(1,12) 6(1)"},
        {"erase of a write-once image",
         [](Host& h) {
             h.cd.load()->SetDrive((h.folders->image + "?dvd-r").c_str());
             h.cd.load()->StartErase(true);
         },
         nullptr, "1 5(2,10) 6(2)"},
        {"recorder: burn",
         [](Host& h) {
             Recorder(h, L"blank", kCdR);
             h.cd.load()->StartBurn(h.folders->small.c_str(), false);
         },
         nullptr, "1 4 5(1,0) 6(1)"},
        {"recorder: burn onto a closed write-once disc",
         [](Host& h) {
             Recorder(h, L"closed", kCdR);
             h.cd.load()->StartBurn(h.folders->small.c_str(), false);
         },
         nullptr, "1 5(1,12) 6(1)"},
        {"recorder: no disc",
         [](Host& h) {
             Recorder(h, L"none", kCdR);
             h.cd.load()->StartBurn(h.folders->small.c_str(), false);
         },
         nullptr, "1 5(1,11) 6(1)"},
        {"recorder: failing midway",
         [](Host& h) {
             Recorder(h, L"blank", kCdR, 40);
             h.cd.load()->StartBurn(h.folders->small.c_str(), false);
         },
         nullptr, "1 4 5(1,7) 6(1)"},
        // A cancel before the drive is taken ends the job before any 4; this
        // one comes from the first progress, while the drive writes.
        {"recorder: cancel midway",
         [](Host& h) {
             Recorder(h, L"blank", kCdR, 0xFFFFFFFF, 20);
             h.cd.load()->StartBurn(h.folders->small.c_str(), false);
         },
         [](Host& h, unsigned id) {
             if (id == 4)
                 h.cd.load()->Cancel();
         },
         "1 4 7(1) 5(1,8) 6(1)"},
        {"recorder: erase a rewritable disc",
         [](Host& h) {
             Recorder(h, L"closed", kCdRw);
             h.cd.load()->StartErase(true);
         },
         nullptr, "1 4 5(2,0) 6(2)"},
        {"recorder: erase a write-once disc",
         [](Host& h) {
             Recorder(h, L"closed", kCdR);
             h.cd.load()->StartErase(true);
         },
         nullptr, "1 5(2,10) 6(2)"},
        {"SendMessage observer", [](Host& h) { Burn(h, h.folders->small); }, nullptr,
         "1 4 5(1,0) 6(1)", true},
        {"two observers", [](Host& h) { Burn(h, h.folders->small); }, nullptr,
         "1 4 5(1,0) 6(1) | 1 4 5(1,0) 6(1)", false, true},
    };
    return rows;
}

// One run of a row on a fresh service; the text the host saw.
std::string RunOnce(IOManager& manager, const Folders& folders, const Row& row, UiWindow& ui) {
    folders.FreshDisc();
    Host host;
    host.manager = &manager;
    host.folders = &folders;
    host.ui = ui.Handle();
    SetWindowLongPtrA(ui.Handle(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&host.log));
    RowObserver first(host, host.log, row.react, row.viaWindow);
    RowObserver second(host, host.second, nullptr, false);
    host.observer = &first;
    CDExpService* cd = manager.GetCDExpService();
    host.cd = cd;
    cd->AddObserver(&first);
    if (row.twoObservers)
        cd->AddObserver(&second);
    row.start(host);

    const std::string expected = row.expected;
    const std::string mine = expected.substr(0, expected.find(" |"));
    const std::string last = mine.substr(mine.rfind(' ') + 1);
    // A row whose text holds its last event twice (two jobs) ends with the
    // second: the count of items tells them apart.
    const size_t items = static_cast<size_t>(std::count(mine.begin(), mine.end(), ' ')) + 1;
    const bool ended = PumpUntil([&] { return host.log.EndsWith(last, items); }, 20000);
    // Room for an event that should not come any more.
    PumpUntil([] { return false; }, 30);
    std::string text = host.log.Text();
    if (!ended)
        text += " (timed out)";
    if (row.twoObservers)
        text += " | " + host.second.Text();
    // A row whose host replaced or released the service from a callback
    // made the service it leaves behind itself.
    if (CDExpService* now = host.cd) {
        now->RemoveObserver(&first);
        now->RemoveObserver(&second);
    }
    manager.ReleaseCDExpService();
    SetWindowLongPtrA(ui.Handle(), GWLP_USERDATA, 0);
    return text;
}

// Runs of one row in one mode: the distinct texts seen, each with its count.
std::map<std::string, int> RunRow(const Row& row, bool bProtected, const Folders& folders) {
    std::map<std::string, int> seen;
    ChooseMode(bProtected);
    IOManager& manager = IOManager::GetIOManager();
    EXPECT_EQ(manager.IsIEProtectedMode(), bProtected);
    if (!manager.GetFileIOService()) {
        ADD_FAILURE() << "no file I/O service in " << (bProtected ? "protected" : "direct")
                      << " mode";
        IOManager::ReleaseIOManager();
        return seen;
    }
    UiWindow ui;
    for (int run = 0; run < kRuns; ++run)
        ++seen[RunOnce(manager, folders, row, ui)];
    IOManager::ReleaseIOManager();
    return seen;
}

std::string Describe(const std::map<std::string, int>& texts) {
    std::string out;
    for (const auto& [text, count] : texts)
        out += "\n    " + std::to_string(count) + "x \"" + text + "\"";
    return out;
}

// The table: each row kRuns times in each mode.
class HostRows : public ::testing::TestWithParam<size_t> {
  protected:
    static void SetUpTestSuite() {
        ChooseMode(false);
        FileIOService* io = IOManager::GetIOManager().GetFileIOService();
        folders.Make(io ? std::string(io->GetWritableDir()) : std::string("C:\\"), "rows");
        IOManager::ReleaseIOManager();
        registration = std::make_unique<Imapi2Registration>(ProgramFolder() + "\\imapi2double.dll");
        ASSERT_TRUE(registration->ok) << "the IMAPI2 double could not be registered";
    }
    static void TearDownTestSuite() {
        RegDeleteTreeW(HKEY_CURRENT_USER, kScenario);
        registration.reset();
        RemoveTree(folders.base);
    }
    static Folders folders;
    static std::unique_ptr<Imapi2Registration> registration;
};
Folders HostRows::folders;
std::unique_ptr<Imapi2Registration> HostRows::registration;

TEST_P(HostRows, GiveTheSameEventsInBothModesEveryTime) {
    const Row& row = Rows()[GetParam()];
    const ULONGLONG start = GetTickCount64();
    const auto direct = RunRow(row, false, folders);
    const ULONGLONG middle = GetTickCount64();
    const auto brokered = RunRow(row, true, folders);
    std::printf("%s: direct %llu ms, protected %llu ms for %d runs each\n", row.name,
                middle - start, GetTickCount64() - middle, kRuns);
    const std::map<std::string, int> want = {{row.expected, kRuns}};
    EXPECT_EQ(direct, brokered) << row.name << ": direct saw" << Describe(direct)
                                << "\n  protected saw" << Describe(brokered);
    EXPECT_EQ(direct, want) << row.name << ": direct saw" << Describe(direct);
    EXPECT_EQ(brokered, want) << row.name << ": protected saw" << Describe(brokered);
}

INSTANTIATE_TEST_SUITE_P(Table, HostRows, ::testing::Range<size_t>(0, Rows().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string name;
                             for (const char* p = Rows()[info.param].name; *p; ++p)
                                 name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

// An image burnt through the broker holds what one burnt directly holds, as
// readers that are not ours (xorriso, 7-Zip) see it: same size, same tree,
// same bytes; only the recording date may differ.
TEST(HostBehaviour, AnImageBurntThroughTheBrokerHoldsWhatADirectOneHolds) {
    Folders folders;
    ChooseMode(false);
    FileIOService* io = IOManager::GetIOManager().GetFileIOService();
    ASSERT_NE(io, nullptr);
    folders.Make(std::string(io->GetWritableDir()), "image");
    IOManager::ReleaseIOManager();
    const auto burn = std::find_if(Rows().begin(), Rows().end(), [](const Row& r) {
        return std::string(r.name) == "image burn with verify";
    });
    ASSERT_NE(burn, Rows().end());
    const std::string direct = folders.base + "\\direct.iso";
    EXPECT_EQ(RunRow(*burn, false, folders).count(burn->expected), 1u);
    ASSERT_TRUE(MoveFileA(folders.image.c_str(), direct.c_str()));
    EXPECT_EQ(RunRow(*burn, true, folders).count(burn->expected), 1u);
    const std::string script =
        "rm -rf x1 x2 x3 && mkdir x1 x2 x3\n"
        "xorriso -local_charset UTF-8 -osirrox on -indev direct.iso -extract / x1 >/dev/null "
        "2>&1 || exit 1\n"
        "xorriso -local_charset UTF-8 -osirrox on -indev disc.iso -extract / x2 >/dev/null 2>&1 "
        "|| exit 2\n"
        "7zz x -y -tiso -ox3 disc.iso >/dev/null || exit 3\n"
        "chmod -R u+w x1 x2 x3\n"
        "diff -r small x1 && diff -r x1 x2 && diff -r x2 x3 || exit 4\n"
        "test $(stat -c %s direct.iso) = $(stat -c %s disc.iso) || exit 5\n"
        "rm -rf x1 x2 x3\n";
    std::string output;
    EXPECT_EQ(RunOnHost(folders.base, script, output), 0) << output;
    RemoveTree(folders.base);
}

// A broker of the first contract version has no per-broker names: the
// library waits on the seven fixed names, and one host still gets its events.
TEST(HostBehaviour, ABrokerOfTheFirstContractStillRelaysOnTheFixedNames) {
    ChooseMode(true);
    SetEnvironmentVariableA("VESKO_BROKER_HIDE", "ICDWrite2");
    IOManager& manager = IOManager::GetIOManager();
    SetEnvironmentVariableA("VESKO_BROKER_HIDE", nullptr);
    FileIOService* io = manager.GetFileIOService();
    ASSERT_NE(io, nullptr);
    Folders folders;
    folders.Make(std::string(io->GetWritableDir()), "v1");
    UiWindow ui;
    const Row& plain = Rows().front();
    // The broker of this manager opened the fixed names: they exist while it runs.
    vesko::UniqueHandle fixed(
        OpenEventA(SYNCHRONIZE, FALSE, "6232A8C7-9548-447c-B261-8EEBD014531A"));
    EXPECT_TRUE(fixed) << "fixed name not open, error " << GetLastError();
    for (int run = 0; run < 3; ++run)
        EXPECT_EQ(RunOnce(manager, folders, plain, ui), plain.expected) << "run " << run;
    RemoveTree(folders.base);
    IOManager::ReleaseIOManager();
}

// The destructor's wait is bounded even when the worker is stuck in an
// observer that sends to the very thread that releases the service.
TEST(HostBehaviour, ReleasingWhileAnObserverSendsToTheReleasingThreadIsBounded) {
    for (const bool bProtected : {false, true}) {
        SCOPED_TRACE(bProtected ? "protected" : "direct");
        ChooseMode(bProtected);
        IOManager& manager = IOManager::GetIOManager();
        FileIOService* io = manager.GetFileIOService();
        ASSERT_NE(io, nullptr);
        Folders folders;
        folders.Make(std::string(io->GetWritableDir()), "bound");
        folders.FreshDisc();

        vesko::UniqueHandle sending(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::atomic<bool> returned{false};
        std::atomic<ULONGLONG> releaseMs{~0ull};
        // The releasing thread owns the window the observer sends to.
        std::thread host([&] {
            vesko::ComApartment apartment(COINIT_MULTITHREADED);
            UiWindow ui;
            struct Sender : Observer {
                HWND hwnd;
                HANDLE sending;
                std::atomic<bool>& returned;
                Sender(HWND h, HANDLE s, std::atomic<bool>& r) : hwnd(h), sending(s), returned(r) {}
                void OnEvent(Observable*, unsigned int id, void*) override {
                    if (id != 4 || WaitForSingleObject(sending, 0) == WAIT_OBJECT_0)
                        return;
                    SetEvent(sending);
                    SendMessageA(hwnd, WM_NULL, 0, 0);
                    returned = true;
                }
            } sender(ui.Handle(), sending.Get(), returned);
            CDExpService* cd = manager.GetCDExpService();
            cd->AddObserver(&sender);
            cd->SetDrive((folders.disc + "?dvd").c_str());
            cd->StartBurn(folders.big.c_str(), false);
            if (WaitForSingleObject(sending.Get(), 20000) != WAIT_OBJECT_0)
                return;
            const ULONGLONG start = GetTickCount64();
            manager.ReleaseCDExpService();
            releaseMs = GetTickCount64() - start;
            // Now the stuck delivery may end; the observer outlives it.
            PumpUntil([&] { return returned.load(); }, 20000);
        });
        const bool finished = PumpUntil([&] { return releaseMs != ~0ull; }, 15000);
        if (!finished) {
            ADD_FAILURE() << "ReleaseCDExpService still waits after 15 s";
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        host.join();
        std::printf("%s: release with the worker stuck in SendMessage took %llu ms\n",
                    bProtected ? "protected" : "direct", releaseMs.load());
        // Protected: the 100 ms wait plus one call to the broker; direct: the
        // recorder's own bound of one second.
        EXPECT_LT(releaseMs.load(), bProtected ? 600u : 1600u);
        EXPECT_TRUE(returned.load()) << "the stuck delivery ended once the thread pumped";
        RemoveTree(folders.base);
        IOManager::ReleaseIOManager();
    }
}

// Two protected-mode hosts, each with its own broker, burning at the same
// time: each sees exactly its own job's events, with its own totals.
TEST(HostBehaviour, TwoProtectedHostsBurningAtOnceSeeOnlyTheirOwnEvents) {
    char role[32] = {};
    if (GetEnvironmentVariableA("VESKO_HOST_ROLE", role, sizeof role) == 0) {
        ChooseMode(true);
        vesko::UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, "VeskoHostRowsGo"));
        vesko::UniqueHandle ready1(CreateEventA(nullptr, TRUE, FALSE, "VeskoHostRowsReady1"));
        vesko::UniqueHandle ready2(CreateEventA(nullptr, TRUE, FALSE, "VeskoHostRowsReady2"));
        vesko::UniqueHandle finished1(CreateEventA(nullptr, TRUE, FALSE, "VeskoHostRowsFinished1"));
        vesko::UniqueHandle finished2(CreateEventA(nullptr, TRUE, FALSE, "VeskoHostRowsFinished2"));
        vesko::UniqueHandle end(CreateEventA(nullptr, TRUE, FALSE, "VeskoHostRowsEnd"));
        // The second host starts once the first has its broker: under Wine
        // two activations at the same instant can meet one broker process
        // (each host must get its own), which is not what this checks.
        std::vector<vesko::UniqueHandle> children;
        const HANDLE ready[2] = {ready1.Get(), ready2.Get()};
        for (int i = 0; i < 2; ++i) {
            SetEnvironmentVariableA("VESKO_HOST_ROLE", i == 0 ? "1" : "2");
            children.push_back(StartProcess("\"" + ThisProgram() +
                                            "\" "
                                            "--gtest_filter=HostBehaviour."
                                            "TwoProtectedHostsBurningAtOnceSeeOnlyTheirOwnEvents"));
            ASSERT_TRUE(children.back()) << "child " << i + 1;
            // Each has its broker and its source before they burn together.
            ASSERT_EQ(WaitForSingleObject(ready[i], 60000), WAIT_OBJECT_0) << "host " << i + 1;
        }
        SetEnvironmentVariableA("VESKO_HOST_ROLE", nullptr);
        SetEvent(go.Get());
        // Neither host ends before both are done.
        HANDLE finished[2] = {finished1.Get(), finished2.Get()};
        WaitForMultipleObjects(2, finished, TRUE, 180000);
        SetEvent(end.Get());
        for (size_t i = 0; i < children.size(); ++i) {
            ASSERT_EQ(WaitForSingleObject(children[i].Get(), 200000), WAIT_OBJECT_0) << i;
            DWORD code = 99;
            GetExitCodeProcess(children[i].Get(), &code);
            EXPECT_EQ(code, 0u) << "host " << i + 1 << " saw foreign or missing events";
        }
        return;
    }
    // A child: one host, burning its own source (a size of its own) ten times.
    const int me = role[0] - '0';
    IOManager& manager = IOManager::GetIOManager();
    FileIOService* io = manager.GetFileIOService();
    ASSERT_NE(io, nullptr);
    Folders folders;
    folders.Make(std::string(io->GetWritableDir()), "two" + std::to_string(me));
    const std::string source = folders.base + "\\own.bin";
    const unsigned long kib = me == 1 ? 3000 : 5000;
    WriteFileText(source, std::string(kib * 1024, 'x'));
    UiWindow ui;
    Row row{"own burn", [&](Host& h) { Burn(h, source, "?dvd"); }, nullptr, "1 4 5(1,0) 6(1)"};
    vesko::UniqueHandle go(OpenEventA(SYNCHRONIZE, FALSE, "VeskoHostRowsGo"));
    vesko::UniqueHandle ready(
        OpenEventA(EVENT_MODIFY_STATE, FALSE, ("VeskoHostRowsReady" + std::to_string(me)).c_str()));
    SetEvent(ready.Get());
    WaitForSingleObject(go.Get(), 60000);
    for (int run = 0; run < 10; ++run) {
        folders.FreshDisc();
        Host host;
        host.manager = &manager;
        host.folders = &folders;
        RowObserver observer(host, host.log, nullptr, false);
        CDExpService* cd = manager.GetCDExpService();
        host.cd = cd;
        cd->AddObserver(&observer);
        row.start(host);
        PumpUntil([&] { return host.log.EndsWith("6(1)", 1); }, 8000);
        PumpUntil([] { return false; }, 30);
        EXPECT_EQ(host.log.Text(), row.expected) << "host " << me << ", run " << run;
        EXPECT_EQ(host.log.LastTotal(), kib) << "host " << me << ", run " << run;
        cd->RemoveObserver(&observer);
        manager.ReleaseCDExpService();
    }
    vesko::UniqueHandle finished(OpenEventA(
        EVENT_MODIFY_STATE, FALSE, ("VeskoHostRowsFinished" + std::to_string(me)).c_str()));
    vesko::UniqueHandle end(OpenEventA(SYNCHRONIZE, FALSE, "VeskoHostRowsEnd"));
    SetEvent(finished.Get());
    WaitForSingleObject(end.Get(), 180000);
    RemoveTree(folders.base);
    IOManager::ReleaseIOManager();
}

}  // namespace
