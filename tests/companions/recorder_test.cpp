// The virtual recorder: a real CDExpManager on real files in scratch folders, checked by the
// events its observers receive and by what ends up on the "disc".
#include "cdexpmanager.h"
#include "cdprogress.h"
#include "cdresult.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vesko/raii.h>

using vesko::test::ScratchDir;

// Every allocation of this program through operator new, counted while it lives: what a job
// leaves allocated after its manager is gone shows as a difference.
namespace {
std::atomic<long> g_liveAllocations{0};
}  // namespace

// These replace the program's own operator new and delete, so malloc and free pair up; GCC sees
// only the inlined new-expression on the other side and warns wrongly.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    ++g_liveAllocations;
    return p;
}
void operator delete(void* p) noexcept {
    if (p) {
        --g_liveAllocations;
        std::free(p);
    }
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}

namespace {

using Clock = std::chrono::steady_clock;

unsigned long KiBUp(unsigned long long bytes) {
    return static_cast<unsigned long>((bytes + 1023) / 1024);
}
bool WaitUntil(const std::function<bool()>& done, int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One event as the observer saw it; text is "1", "4(k<kind>:<done>/<total>)", "5(<op>,<error>)"
// or "<id>(<data>)". The records of 4 and 5 are only borrowed: what the test needs is copied.
struct Event {
    unsigned id = 0, kind = 0;
    uintptr_t value = 0;
    unsigned long done = 0, total = 0;
    std::thread::id thread;
    std::string text;
};

// Makes a tree under root: names ending in '\\' are folders, the others files of the given size
// with content of their own.
void Make(const std::string& root, const std::map<std::string, size_t>& tree) {
    for (const auto& [name, size] : tree) {
        auto seed = static_cast<unsigned>(std::hash<std::string>{}(name));
        const std::string path = root + "\\" + name;
        if (name.back() == '\\') {
            EXPECT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path;
            continue;
        }
        std::string bytes(size, '\0');
        for (char& c : bytes)
            c = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
        EXPECT_TRUE(vesko::test::WriteFileText(path, bytes)) << path;
    }
}

// Relative path -> size; folders end in '\\' with size 0.
std::map<std::string, unsigned long long> Tree(const std::string& root,
                                               const std::string& rel = "") {
    std::map<std::string, unsigned long long> out;
    WIN32_FIND_DATAA fd;
    vesko::UniqueFindHandle find(FindFirstFileA((root + "\\" + rel + "*").c_str(), &fd));
    for (bool more = find.IsValid(); more; more = FindNextFileA(find.Get(), &fd)) {
        const std::string name = fd.cFileName;
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            out[rel + name] =
                (static_cast<unsigned long long>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
        else if (name != "." && name != "..")
            out[rel + name + "\\"] = 0, out.merge(Tree(root, rel + name + "\\"));
    }
    return out;
}

std::string Listing(const std::string& root) {
    std::string out;
    for (const auto& [name, size] : Tree(root))
        out += name + "=" + std::to_string(size) + " ";
    return out.empty() ? "(empty)" : out;
}

bool SameContent(const std::string& a, const std::string& b) {
    return vesko::test::ReadFileText(a) == vesko::test::ReadFileText(b);
}

// A progress run starts at 0, never goes back, ends at the total and steps at most maxStep KiB
// (by default 1% of the total; KiB rounding allows one more).
void ExpectSmooth(const std::vector<Event>& progress, unsigned long totalKiB,
                  const std::string& trace, unsigned long maxStep = 0) {
    maxStep = maxStep ? maxStep : std::max<unsigned long>(totalKiB / 100 + 1, 5);
    ASSERT_GE(progress.size(), 2u) << trace;
    EXPECT_EQ(progress.front().done, 0u) << trace;
    EXPECT_EQ(progress.back().done, totalKiB) << trace;
    for (size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(progress[i].total, totalKiB) << "event " << i << ": " << trace;
        EXPECT_TRUE(i == 0 || (progress[i].done >= progress[i - 1].done &&
                               progress[i].done - progress[i - 1].done <= maxStep))
            << "event " << i << ": " << trace;
    }
}

// A manager on a scratch disc, observed by the test itself. The hook runs on the posting thread
// after each event; where it returns true, that thread is held until Open().
class RecorderTest : public ::testing::Test, public Observer {
  protected:
    void SetUp() override { manager->AddObserver(this); }
    // Never leaves a worker held; a manager whose job has ended goes at once.
    void TearDown() override {
        Open();
        const auto start = Clock::now();
        manager.reset();
        EXPECT_LT(MsSince(start), 1000) << "destroying an idle manager took too long";
    }
    void Reset() {
        TearDown();
        for (const ScratchDir* dir : {&disc, &source}) {
            vesko::test::RemoveTree(dir->Path());
            CreateDirectoryA(dir->Path().c_str(), nullptr);
        }
        m_events.clear();
        m_held = m_open = false;
        hook = nullptr;
        manager = std::make_unique<CDExpManager>();
        SetUp();
    }

    void OnEvent(Observable*, unsigned int id, void* data) override {
        Event e{id, 0, reinterpret_cast<uintptr_t>(data), 0, 0, std::this_thread::get_id()};
        e.text = std::to_string(id) + (id == 1 && !data ? "" : "(" + std::to_string(e.value) + ")");
        if (auto* progress = static_cast<const CDProgress*>(data); id == 4) {
            e.kind = progress->GetKind();
            e.done = progress->GetValue1();
            e.total = progress->GetValue2();
            e.text = "4(k" + std::to_string(e.kind) + ":" + std::to_string(e.done) + "/" +
                     std::to_string(e.total) + ")";
        } else if (auto* result = static_cast<const CDResult*>(data); id == 5) {
            e.text = "5(" + std::to_string(result->GetFirst()) + "," +
                     std::to_string(result->GetSecond()) + ")";
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_events.push_back(e);
        m_changed.notify_all();
        lock.unlock();
        if (hook && hook(e)) {
            lock.lock();
            m_held = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_open; });
        }
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    bool WaitHeld() {
        return Wait([this] { return m_held; });
    }
    bool WaitFinished(unsigned operation) {
        const std::string six = "6(" + std::to_string(operation) + ")";
        return Wait([&] {
            return std::any_of(m_events.begin(), m_events.end(),
                               [&](const Event& e) { return e.text == six; });
        });
    }
    // Until the n-th burn has finished.
    bool Wait6(size_t n) {
        return Wait([&] {
            return static_cast<size_t>(
                       std::count_if(m_events.begin(), m_events.end(),
                                     [](const Event& e) { return e.text == "6(1)"; })) >= n;
        });
    }
    std::vector<Event> Events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    // The events' texts; the outline leaves out progress.
    std::string Trace(bool outline = false) const {
        std::string out;
        for (const Event& e : Events())
            if (!outline || e.id != 4)
                out += (out.empty() ? "" : " ") + e.text;
        return out;
    }
    std::string Outline() const { return Trace(true); }
    std::vector<Event> Progress(unsigned kind) const {
        std::vector<Event> out;
        for (const Event& e : Events())
            if (e.id == 4 && e.kind == kind)
                out.push_back(e);
        return out;
    }

    ScratchDir disc{"disc"}, source{"src"};
    std::unique_ptr<CDExpManager> manager = std::make_unique<CDExpManager>();
    std::function<bool(const Event&)> hook;

  private:
    bool Wait(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), done);
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
    bool m_held = false, m_open = false;
};

TEST_F(RecorderTest, DriveTextSelectsFolderAndCapacity) {
    const std::string D = disc.Path(), none = "0 2 2:- 2:", kept = "1 0 0:0 0:D?size=4096";
    // "<IsValid> <ValidateDrive> <code>:<free bytes, - when untouched> <code>:<drive, the disc
    // folder as D>".
    const auto Now = [&] {
        CString drive("untouched");
        unsigned long long space = 7;
        const CD::EError spaceCode = manager->GetDriveAvailSpace(space);
        const CD::EError driveCode = manager->GetDrive(drive);
        std::string text = drive.GetString();
        if (text.rfind(D, 0) == 0)
            text.replace(0, D.size(), "D");
        return std::to_string(manager->IsValid()) + " " + std::to_string(manager->ValidateDrive()) +
               " " + std::to_string(spaceCode) + ":" + (space == 7 ? "-" : std::to_string(space)) +
               " " + std::to_string(driveCode) + ":" + text;
    };
    EXPECT_EQ(Now(), none);
    // Free space is the capacity less the bytes of the files on the disc, 0 when they hold more.
    Make(D, {{"a.bin", 10240}, {"sub\\", 0}, {"sub\\b", 500}});
    const struct {
        std::string text;
        CD::EError code;
        std::string now;
    } cases[] = {
        {D, CD::eOK, "1 0 0:737269260 0:D"},
        {D + "\\", CD::eOK, "1 0 0:737269260 0:D\\"},
        {D + "?cd", CD::eOK, "1 0 0:737269260 0:D?cd"},
        {D + "?CD", CD::eOK, "1 0 0:737269260 0:D?CD"},
        {D + "?dvd", CD::eOK, "1 0 0:4700362252 0:D?dvd"},
        {D + "?size=12345", CD::eOK, "1 0 0:1605 0:D?size=12345"},
        {D + "\\?Size=18446744073709551615", CD::eOK,
         "1 0 0:18446744073709540875 0:D\\?Size=18446744073709551615"},
        {D + "?dvd&speed=150", CD::eOK, "1 0 0:4700362252 0:D?dvd&speed=150"},
        {D + "?Speed=64", CD::eOK, "1 0 0:737269260 0:D?Speed=64"},
        // Media kinds: real capacities; a write-once disc that holds files is closed.
        {D + "?cd-r", CD::eOK, "1 0 0:0 0:D?cd-r"},
        {D + "?DVD-RW", CD::eOK, "1 0 0:4700362252 0:D?DVD-RW"},
        {D + "?dvd-dl", CD::eOK, "1 0 0:8543655436 0:D?dvd-dl"},
        {D + "?bd-re&speed=9", CD::eOK, "1 0 0:25025304076 0:D?bd-re&speed=9"},
        {D + "?size=4096", CD::eOK, kept},
        // Refused: the drive before stays.
        {D + "?speed=0", CD::eInvalidDrive, kept},
        {D + "?dvd&", CD::eInvalidDrive, kept},
        {D + "?&dvd", CD::eInvalidDrive, kept},
        {D + "?dvd&cd", CD::eInvalidDrive, kept},
        {D + "?speed=1&speed=2", CD::eInvalidDrive, kept},
        {D + "?speed=fast", CD::eInvalidDrive, kept},
        {"?cd", CD::eInvalidDrive, kept},
        {D + "?", CD::eInvalidDrive, kept},
        {D + "?bluray", CD::eInvalidDrive, kept},
        {D + "?cd-rom", CD::eInvalidDrive, kept},
        {D + "?cd-r&size=5000", CD::eInvalidDrive, kept},
        {D + "?size=", CD::eInvalidDrive, kept},
        {D + "?size=0", CD::eInvalidDrive, kept},
        {D + "?size=12k", CD::eInvalidDrive, kept},
        {D + "?size=-5", CD::eInvalidDrive, kept},
        {D + "?size=18446744073709551616", CD::eInvalidDrive, kept},
        {D + "?cd?dvd", CD::eInvalidDrive, kept},
        {D + "\\*", CD::eInvalidDrive, kept},
        {"", CD::eNoDrive, none},
        // A missing folder is a selected but invalid drive.
        {D + "\\no-disc", CD::eOK, "0 3 3:- 0:D\\no-disc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(manager->SetDrive(c.text.c_str()), c.code) << c.text;
        EXPECT_EQ(Now(), c.now) << "after SetDrive(\"" << c.text << "\")";
    }
    // So is a file; a folder made later makes the drive valid.
    ASSERT_TRUE(vesko::test::WriteFileText(D + "\\no-disc", "a file, not a folder"));
    EXPECT_EQ(Now(), "0 3 3:- 0:D\\no-disc");
    DeleteFileA((D + "\\no-disc").c_str());
    ASSERT_TRUE(CreateDirectoryA((D + "\\no-disc").c_str(), nullptr));
    EXPECT_EQ(Now(), "1 0 0:737280000 0:D\\no-disc");
    EXPECT_EQ(manager->SetDrive(nullptr), CD::eNoDrive);
    EXPECT_EQ(Now(), none);
}

// Every job from a fresh manager on fresh folders: its events, and the disc and source after it.
// Files already on the disc are read-only; one named "locked" is held open without sharing
// deletion. Events are compared in full where kib is 0, else in outline, with smooth progress
// runs to kib (unless kAny).
TEST_F(RecorderTest, EachJobPostsItsOutcomeAndLeavesTheDiscAsExpected) {
    using Files = std::map<std::string, size_t>;
    constexpr unsigned long kAny = ~0ul;
    const Files used{{"a.bin", 10240}, {"sub\\", 0}, {"sub\\b", 500}},
        two{{"a.bin", 600000}, {"b.bin", 400000}}, small{{"a.bin", 100}, {"disc\\", 0}},
        tree{{"IMAGES\\", 0},
             {"IMAGES\\SERIES1\\", 0},
             {"IMAGES\\SERIES1\\IM1", 1500000},
             {"IMAGES\\SERIES1\\IM2", 700001},
             {"IMAGES\\empty.txt", 0},
             {"DICOMDIR", 3000},
             {"EMPTY\\", 0}},
        full{{"a", 300000},         {"d1\\", 0},          {"d1\\b", 200000}, {"d1\\d2\\", 0},
             {"d1\\d2\\c", 150000}, {"d1\\d2\\empty", 0}, {"e", 524288}};
    const struct {
        Files source, disc;
        std::string drive;  // D, S: the disc and source folders
        // b(urn), v(erify), n(ull source), e(rase), q(uick erase), s(pace), c(heck); source
        std::string job;
        unsigned long kib;
        const char* events;
        std::string listing = "";  // of the disc after the job; "": as before, "=": the source's
    } rows[] = {
        // Space in KiB rounded down, capped, 0 when fuller than the capacity or without a drive.
        {{}, used, "D?size=1048576", "s", 0, "1 3(1013) 6(3)"},
        {{}, used, "D?size=5497558138880", "s", 0, "1 3(4294967295) 6(3)"},
        {{}, used, "D?size=1200", "s", 0, "1 3(0) 6(3)"},
        {{}, {}, "", "s", 0, "1 3(0) 6(3)"},
        {{}, {}, "", "c", 0, "1 2(2) 6(4)"},
        {{}, {}, "D\\missing", "c", 0, "1 2(3) 6(4)"},
        {{}, {}, "D", "c", 0, "1 2(0) 6(4)"},
        // A folder's tree; a read-only file of the same name is replaced.
        {tree, {{"DICOMDIR", 10}}, "D?size=10000010", "bS", KiBUp(2203001), "1 5(1,0) 6(1)", "="},
        // A single file goes to the disc's root under its own name; verification follows the copy.
        {{{"x.dcm", 2000000}}, {}, "D", "vS\\x.dcm", KiBUp(2000000), "1 5(1,0) 6(1)", "="},
        // One byte short of the source plus the disc's files: nothing written; exactly full fits.
        {two, {{"old", 1000}}, "D?size=1000999", "bS", 0, "1 5(1,5) 6(1)"},
        {two,
         {{"old", 1000}},
         "D?size=1001000",
         "bS",
         KiBUp(1000000),
         "1 5(1,0) 6(1)",
         "a.bin=600000 b.bin=400000 old=1000 "},
        {small, {}, "", "bS\\a.bin", 0, "1 5(1,2) 6(1)"},
        {small, {}, "D\\gone", "bS\\a.bin", 0, "1 5(1,3) 6(1)"},
        {small, {}, "D", "bS\\nothing.bin", 0, "1 5(1,6) 6(1)"},
        {small, {}, "D", "b", 0, "1 5(1,6) 6(1)"},
        {small, {}, "D", "n", 0, "1 5(1,6) 6(1)"},
        // The disc inside the source and the source inside the disc.
        {small, {}, "S\\disc", "bS", 0, "1 5(1,10) 6(1)"},
        {small, {}, "S", "bS\\a.bin", 0, "1 5(1,10) 6(1)"},
        // Write-once media take one burn and no erase; rewritable ones erase.
        {small, {}, "D?cd-r", "bS", KiBUp(100), "1 5(1,0) 6(1)", "="},
        {small, {{"old", 10}}, "D?dvd-r", "bS", 0, "1 5(1,12) 6(1)"},
        {{}, {{"old", 10}}, "D?dvd-r", "s", 0, "1 3(0) 6(3)"},
        {{}, {{"old", 10}}, "D?cd-r", "e", 0, "1 5(2,10) 6(2)"},
        {{}, {}, "D?bd-r", "q", 0, "1 5(2,10) 6(2)"},
        {{}, {{"old", 10}}, "D?cd-rw", "q", 0, "1 5(2,0) 6(2)", "(empty)"},
        // A full erase reports progress by file, so with no bound on a step.
        {{}, full, "D", "e", KiBUp(1174288), "1 5(2,0) 6(2)", "(empty)"},
        {{}, {{"a", 1000}, {"d\\", 0}}, "D", "q", 0, "1 5(2,0) 6(2)", "(empty)"},
        {{}, {{"a", 1000}}, "", "q", 0, "1 5(2,2) 6(2)"},
        {{}, {{"a", 1000}}, "D\\gone", "e", 0, "1 5(2,3) 6(2)"},
        {{}, {{"locked", 1000}}, "D", "e", kAny, "1 5(2,7) 6(2)"},
    };
    const std::map<char, unsigned> operations{{'b', 1}, {'v', 1}, {'n', 1}, {'e', 2},
                                              {'q', 2}, {'s', 3}, {'c', 4}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.job + " on drive \"" + r.drive + "\"");
        Reset();
        Make(source.Path(), r.source);
        Make(disc.Path(), r.disc);
        for (const auto& [name, size] : r.disc)
            SetFileAttributesA((disc / name).c_str(),
                               name.back() == '\\' ? 0 : FILE_ATTRIBUTE_READONLY);
        vesko::UniqueHandle locked(CreateFileA((disc / "locked").c_str(), GENERIC_READ,
                                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                               nullptr));
        const auto expand = [&](const std::string& text) {
            return text.empty() ? text : (text[0] == 'D' ? disc : source).Path() + text.substr(1);
        };
        const std::string sourceBefore = Listing(source.Path()), discBefore = Listing(disc.Path());
        const std::string from = expand(r.job.substr(1));
        const char job = r.job[0];
        manager->SetDrive(expand(r.drive).c_str());
        manager->Cancel();  // idle: ignored, as is the stop
        manager->Stop();
        if (job == 's')
            manager->StartGetDriveAvailSpace();
        else if (job == 'c')
            manager->StartValidateDrive();
        else if (job == 'e' || job == 'q')
            manager->StartErase(job == 'e');
        else
            manager->StartBurn(job == 'n' ? nullptr : from.c_str(), job == 'v');
        ASSERT_TRUE(WaitFinished(operations.at(job))) << Trace();
        manager->Cancel();  // after the job ended: changes nothing
        const std::string trace = Trace();
        EXPECT_EQ(r.kib ? Outline() : trace, r.events) << trace;
        for (unsigned kind = 1; r.kib && r.kib != kAny && kind <= 3; ++kind) {
            if (kind == (job == 'e' ? 3u : 1u) || (kind == 2 && job == 'v'))
                ExpectSmooth(Progress(kind), r.kib, trace, kind == 3 ? ~0ul : 0);
            else
                EXPECT_TRUE(Progress(kind).empty()) << trace;
        }
        // Progress kinds follow each other, the result comes after all progress, and every
        // record comes with the event, all posted by the worker.
        unsigned lastKind = 0;
        bool result = false;
        for (const Event& e : Events()) {
            EXPECT_NE(e.thread, std::this_thread::get_id()) << e.text;
            EXPECT_TRUE(e.id != 4 || (e.kind >= lastKind && !result)) << e.text << " in " << trace;
            EXPECT_TRUE((e.id != 4 && e.id != 5) || e.value != 0) << e.text;
            lastKind = e.id == 4 ? e.kind : lastKind;
            result = result || e.id == 5;
        }
        EXPECT_TRUE(vesko::test::IsDir(disc.Path()));
        EXPECT_EQ(Listing(disc.Path()), r.listing.empty()  ? discBefore
                                        : r.listing == "=" ? sourceBefore
                                                           : r.listing);
        EXPECT_EQ(Listing(source.Path()), sourceBefore) << "the source changed";
        for (const auto& [name, size] : Tree(disc.Path()))
            EXPECT_TRUE(!vesko::test::Exists(source / name) ||
                        SameContent(source / name, disc / name))
                << name;
    }
}

TEST_F(RecorderTest, AnObserverMayStartTheNextJobFromTheResult) {
    Make(source.Path(), {{"a.bin", 300000}});
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    hook = [m = manager.get()](const Event& e) {
        if (e.text == "5(1,0)")
            m->StartErase(false);
        return false;
    };
    manager->StartBurn((source / "a.bin").c_str(), false);
    ASSERT_TRUE(WaitFinished(2)) << Trace();
    EXPECT_EQ(Outline(), "1 5(1,0) 6(1) 1 5(2,0) 6(2)");
    EXPECT_EQ(Listing(disc.Path()), "(empty)");
}

// A drive's write speed holds a burn to it (and a cancel still ends it at once): 384 KiB at
// 256 KiB/s take 1.5 s, unpaced a few milliseconds.
TEST_F(RecorderTest, ADrivesSpeedPacesTheBurnAndACancelStillEndsItPromptly) {
    Make(source.Path(), {{"a.bin", 256 * 1024}, {"b.bin", 128 * 1024}});
    ASSERT_EQ(manager->SetDrive((disc.Path() + "?speed=256").c_str()), CD::eOK);
    ULONGLONG start = GetTickCount64();
    manager->StartBurn(source.Path().c_str(), false);
    ASSERT_TRUE(WaitFinished(1)) << Trace();
    const ULONGLONG paced = GetTickCount64() - start;
    EXPECT_GE(paced, 1400u) << Trace();
    EXPECT_EQ(Outline(), "1 5(1,0) 6(1)");

    ASSERT_EQ(manager->SetDrive((disc.Path() + "\\again?speed=1").c_str()), CD::eOK);
    CreateDirectoryA((disc.Path() + "\\again").c_str(), nullptr);
    start = GetTickCount64();
    manager->StartBurn(source.Path().c_str(), false);
    manager->Cancel();
    ASSERT_TRUE(Wait6(2)) << Trace();
    EXPECT_LT(GetTickCount64() - start, 5000u) << "a 384 s burn cancelled at once; " << Trace();
    EXPECT_EQ(Outline(), "1 5(1,0) 6(1) 1 7(1) 5(1,8) 6(1)");
    EXPECT_EQ(Listing(disc.Path() + "\\again"), "(empty)");
}

// Interruptions of a burn of four 10 MB files onto a disc that already holds earlier.txt, held
// once more than 1.5 files are copied (V: in verification), then let go.
TEST_F(RecorderTest, InterruptionsEndPromptlyWithoutHalfCopiedFiles) {
    constexpr size_t kFileSize = 10 * 1024 * 1024, kFiles = 4;
    constexpr unsigned long long kDvdBytes = 2295104ull * 2048;  // a DVD-5's sectors
    ScratchDir big("big");
    for (size_t i = 0; i < kFiles; ++i)
        Make(big.Path(), {{"part" + std::to_string(i) + ".bin", kFileSize}});
    // The number of copies on the disc, which must all be complete.
    const auto completeCopies = [&] {
        size_t copies = 0;
        for (const auto& [name, size] : Tree(disc.Path())) {
            if (name == "earlier.txt")
                continue;
            EXPECT_TRUE(name.rfind("part", 0) == 0 && SameContent(big / name, disc / name))
                << "not a complete copy: " << name;
            ++copies;
        }
        EXPECT_TRUE(vesko::test::Exists(disc / "earlier.txt")) << "the burn removed a file";
        return copies;
    };
    const struct {
        const char* name;
        const char* actions;  // C: Cancel, S: Stop, D: destroy, B: start other jobs; V: see above
        const char* outline;  // * stands for the free KiB of the space query refused
    } rows[] = {
        {"cancel removes everything the burn wrote", "C", "1 7(1) 5(1,8) 6(1)"},
        {"cancel wins over a stop not yet acted on", "SC", "1 7(1) 5(1,8) 6(1)"},
        {"cancel during verification removes the copies", "VC", "1 7(1) 5(1,8) 6(1)"},
        {"stop keeps the completed files", "S", "1 7(1) 5(1,9) 6(1)"},
        {"destruction cancels and waits", "D", "1 7(1) 5(1,8) 6(1)"},
        // Each refusal is posted on the caller's thread between the running job's 1 and its end.
        {"jobs while one runs are refused", "BC", "1 5(1,4) 5(2,4) 2(4) 3(*) 7(1) 5(1,8) 6(1)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Reset();
        const std::string actions = row.actions;
        const bool verify = actions[0] == 'V';
        Make(disc.Path(), {{"earlier.txt", 100}});
        ASSERT_EQ(manager->SetDrive((disc.Path() + "?dvd").c_str()), CD::eOK);
        const unsigned long holdAt = verify ? 1024 : KiBUp(kFileSize * 3 / 2);
        hook = [verify, holdAt](const Event& e) {
            return e.id == 4 && e.kind == (verify ? 2u : 1u) && e.done > holdAt;
        };
        manager->StartBurn(big.Path().c_str(), verify);
        ASSERT_TRUE(WaitHeld()) << Trace();
        if (verify) {
            EXPECT_EQ(completeCopies(), kFiles);
        }
        std::string outline = row.outline;
        const size_t before = Events().size();
        if (actions[0] == 'B') {
            manager->StartBurn((big / "part0.bin").c_str(), false);
            manager->StartErase(true);
            manager->StartValidateDrive();
            manager->StartGetDriveAvailSpace();
            EXPECT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eDriveBusy);
            const auto all = Events();
            ASSERT_EQ(all.size(), before + 4) << Trace();
            for (size_t i = before; i < all.size(); ++i)
                EXPECT_EQ(all[i].thread, std::this_thread::get_id()) << all[i].text;
            // The free space of the moment: the DVD less what the held burn wrote so far.
            const uintptr_t freeKiB = all.back().value;
            EXPECT_LT(freeKiB, kDvdBytes / 1024 - KiBUp(kFileSize)) << Trace();
            EXPECT_GT(freeKiB, kDvdBytes / 1024 - KiBUp(kFileSize * kFiles) - 1);
            outline.replace(outline.find('*'), 1, std::to_string(freeKiB));
        }
        for (char action : actions)
            action == 'C' ? manager->Cancel() : action == 'S' ? manager->Stop() : void();
        // The held job, let go, ends within a second; the destructor asks for the cancel, then
        // waits for the held worker.
        std::thread destroyer([&] {
            if (actions == "D")
                manager.reset();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(actions == "D" ? 100 : 0));
        const auto start = Clock::now();
        Open();
        EXPECT_TRUE(WaitFinished(1)) << Trace();
        destroyer.join();
        EXPECT_LT(MsSince(start), 1000) << "the interrupted burn took too long to end";
        EXPECT_EQ(Outline(), outline);
        // Progress stopped where the interruption found it: never at the total.
        if (!verify) {
            EXPECT_LT(Progress(CD::eProgressBurn).back().done, KiBUp(kFileSize * kFiles));
        }
        if (actions != "S") {
            EXPECT_EQ(Listing(disc.Path()), "earlier.txt=100 ");
            continue;
        }
        // At least one complete file stays, the one in progress does not.
        const size_t copies = completeCopies();
        EXPECT_TRUE(copies >= 1 && copies < kFiles) << Listing(disc.Path());
    }
}

// Records are the delivery's: every observer borrows the same record, and once the last
// observer has returned the manager destroys it. Burns with many progress events leave
// nothing allocated behind them.
TEST_F(RecorderTest, RecordsAreBorrowedByEveryObserverAndFreedAfterTheDelivery) {
    Make(source.Path(), {{"a.bin", 1000000}});
    struct Reader : Observer {
        std::string seen;
        void OnEvent(Observable*, unsigned int id, void* data) override {
            if (id == 4)
                seen += std::to_string(static_cast<const CDProgress*>(data)->GetValue1()) + " ";
            else if (id == 5)
                seen += "r" + std::to_string(static_cast<const CDResult*>(data)->GetSecond()) + " ";
        }
    };
    const auto burns = [&](int n, Reader& second) {
        manager->AddObserver(&second);
        ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
        for (int i = 0; i < n; ++i) {
            manager->StartBurn((source / "a.bin").c_str(), false);
            ASSERT_TRUE(Wait6(i + 1)) << Trace();
        }
        manager->RemoveObserver(&second);
    };
    {
        Reader warm;
        burns(1, warm);  // the worker and what the first job allocates once
    }
    Reset();
    Make(source.Path(), {{"a.bin", 1000000}});
    const long before = g_liveAllocations.load();
    size_t progress = 0;
    {
        Reader second;
        burns(10, second);
        progress = Progress(CD::eProgressBurn).size();
        std::string mine;
        for (const Event& e : Events())
            if (e.id == 4 || e.id == 5)
                mine += e.id == 4 ? std::to_string(e.done) + " " : "r" + e.text.substr(4, 1) + " ";
        EXPECT_EQ(second.seen, mine) << "both observers read the same live records";
        Reset();  // the manager goes, and with it its worker
    }
    const long left = g_liveAllocations.load() - before;
    EXPECT_GE(progress, 1000u) << "ten burns of 1 MB post at least 100 progress events each";
    EXPECT_LT(left, 50) << left << " allocations left after " << progress << " progress records";
}

// An observer may destroy the manager from inside its callback: the worker is not joined by
// itself, nothing more is delivered, and what the job wrote is complete.
TEST_F(RecorderTest, AnObserverMayDestroyTheManagerFromItsCallback) {
    for (const unsigned at : {1u, 4u, 5u, 6u}) {
        SCOPED_TRACE("destroyed from event " + std::to_string(at));
        Reset();
        Make(source.Path(), {{"a.bin", 300000}});
        ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
        std::atomic<bool> destroyed{false};
        hook = [&, at](const Event& e) {
            if (e.id == at && !destroyed.exchange(true))
                manager.reset();
            return false;
        };
        manager->StartBurn((source / "a.bin").c_str(), false);
        ASSERT_TRUE(WaitUntil([&] { return destroyed.load(); }, 10000)) << Trace();
        const size_t count = Events().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(Events().size(), count) << "events after the destruction: " << Trace();
        EXPECT_EQ(Events().back().id, at) << Trace();
        hook = nullptr;
    }
}

// The destructor waits for a busy worker a bounded time, even when an observer blocks it.
TEST_F(RecorderTest, TheDestructorWaitsABoundedTimeForABlockedObserver) {
    Make(source.Path(), {{"a.bin", 4000000}});
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    hook = [](const Event& e) { return e.id == 4; };  // held until Open()
    manager->StartBurn((source / "a.bin").c_str(), false);
    ASSERT_TRUE(WaitHeld()) << Trace();
    const auto start = Clock::now();
    manager.reset();
    const long long ms = MsSince(start);
    EXPECT_GE(ms, static_cast<long long>(CDExpManager::kDestroyWaitMs) - 50);
    EXPECT_LT(ms, static_cast<long long>(CDExpManager::kDestroyWaitMs) + 1000);
    const size_t count = Events().size();
    Open();  // the worker, let go, finishes the cancelled burn on its own
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Events().size(), count) << "nothing reaches an observer after the destructor";
    EXPECT_TRUE(WaitUntil([&] { return Listing(disc.Path()) == "(empty)"; }, 5000))
        << "the cancelled burn's files are removed: " << Listing(disc.Path());
}

}  // namespace
