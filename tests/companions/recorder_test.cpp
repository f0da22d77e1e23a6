// The virtual recorder: a folder stands for the disc. Every test drives a
// real CDExpManager on real files in scratch folders and checks the events
// its observers receive and what ends up on the "disc".
#include "cdexpmanager.h"
#include "cdprogress.h"
#include "cdresult.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <vesko/raii.h>

using vesko::test::Exists;
using vesko::test::ScratchDir;

namespace {

using Clock = std::chrono::steady_clock;

unsigned long KiBUp(unsigned long long bytes) {
    return static_cast<unsigned long>((bytes + 1023) / 1024);
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One event as an observer saw it.
struct Event {
    unsigned id = 0, kind = 0;            // kind: event 4
    uintptr_t value = 0;                  // the data bits (for 4 and 5, the record's address)
    unsigned long done = 0, total = 0;    // event 4
    unsigned long first = 0, second = 0;  // event 5
    std::thread::id thread;
};

std::string Format(const Event& e) {
    using std::to_string;
    switch (e.id) {
        case 1:
            return e.value ? "1(non-null)" : "1";
        case 4:
            return "4(k" + to_string(e.kind) + ":" + to_string(e.done) + "/" + to_string(e.total) +
                   ")";
        case 5:
            return "5(" + to_string(e.first) + "," + to_string(e.second) + ")";
        default:
            return to_string(e.id) + "(" + to_string(e.value) + ")";
    }
}

// Records every event. The records of 4 and 5 are taken over, as a consumer
// must, and kept alive until the recorder goes, so that a record posted
// twice shows up as an address seen twice. A hook runs on the posting thread
// after each event; where it returns true, that thread is held until Open(),
// so that a test can act while a job is provably in the middle of its work.
class Recorder : public Observer {
  public:
    void OnEvent(Observable*, unsigned int eventId, void* data) override {
        Event e;
        e.id = eventId;
        e.thread = std::this_thread::get_id();
        e.value = reinterpret_cast<uintptr_t>(data);
        std::shared_ptr<void> record;
        if (eventId == 4) {
            std::unique_ptr<CDProgress> progress(static_cast<CDProgress*>(data));
            e.kind = progress->GetKind();
            e.done = progress->GetValue1();
            e.total = progress->GetValue2();
            record = std::move(progress);
        } else if (eventId == 5) {
            std::unique_ptr<CDResult> result(static_cast<CDResult*>(data));
            e.first = result->GetFirst();
            e.second = result->GetSecond();
            record = std::move(result);
        }
        std::function<bool(const Event&)> hook;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(e);
            m_records.push_back(std::move(record));
            hook = m_hook;
        }
        m_changed.notify_all();
        if (hook && hook(e)) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_held = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_open; });
        }
    }

    void Hook(std::function<bool(const Event&)> hook) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hook = std::move(hook);
    }
    bool WaitHeld() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_held; });
    }
    void Open() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }

    // Waits until there are count events 6 of operation.
    bool WaitFinished(unsigned operation, size_t count = 1) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20),
                                  [&] { return CountFinished(operation) >= count; });
    }
    size_t Finished(unsigned operation) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return CountFinished(operation);
    }
    std::vector<Event> Events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    // The events from index from on, as "1 4(k1:0/5) 5(1,0) 6(1)"; the
    // outline leaves out progress.
    std::string Trace(size_t from = 0, bool outline = false) const {
        const auto all = Events();
        std::string out;
        for (size_t i = from; i < all.size(); ++i)
            if (!outline || all[i].id != 4)
                out += (out.empty() ? "" : " ") + Format(all[i]);
        return out;
    }
    std::string Outline(size_t from = 0) const { return Trace(from, true); }
    std::vector<Event> Progress(unsigned kind) const {
        std::vector<Event> out;
        for (const Event& e : Events())
            if (e.id == 4 && e.kind == kind)
                out.push_back(e);
        return out;
    }

  private:
    size_t CountFinished(unsigned operation) const {
        return static_cast<size_t>(
            std::count_if(m_events.begin(), m_events.end(),
                          [&](const Event& e) { return e.id == 6 && e.value == operation; }));
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
    std::vector<std::shared_ptr<void>> m_records;
    std::function<bool(const Event&)> m_hook;
    bool m_held = false, m_open = false;
};

// Writes size bytes whose content depends on seed, so that files differ.
void MakeFile(const std::string& path, size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
    ASSERT_TRUE(vesko::test::WriteFileText(path, bytes))
        << path << ": " << vesko::test::Describe(GetLastError());
}

void MakeDirs(const std::string& root, std::initializer_list<const char*> relatives) {
    for (const char* relative : relatives)
        ASSERT_TRUE(CreateDirectoryA((root + "\\" + relative).c_str(), nullptr)) << relative;
}

// Relative path -> size of a tree; folders end in "\\" with size 0.
std::map<std::string, unsigned long long> Tree(const std::string& root,
                                               const std::string& relative = "") {
    std::map<std::string, unsigned long long> out;
    WIN32_FIND_DATAA fd;
    vesko::UniqueFindHandle find(FindFirstFileA((root + "\\" + relative + "*").c_str(), &fd));
    for (bool more = find.IsValid(); more; more = FindNextFileA(find.Get(), &fd)) {
        const std::string name = fd.cFileName, rel = relative + name;
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            out[rel] = (static_cast<unsigned long long>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
        else if (name != "." && name != "..") {
            out[rel + "\\"] = 0;
            out.merge(Tree(root, rel + "\\"));
        }
    }
    return out;
}

std::string Listing(const std::string& root) {
    std::string out;
    for (const auto& kv : Tree(root))
        out += kv.first + "=" + std::to_string(kv.second) + " ";
    return out.empty() ? "(empty)" : out;
}

bool SameContent(const std::string& a, const std::string& b) {
    return vesko::test::ReadFileText(a) == vesko::test::ReadFileText(b);
}

// Checks a progress run: starts at 0, never goes back, ends at the total,
// and steps at most maxStep KiB.
void ExpectSmooth(const std::vector<Event>& progress, unsigned long totalKiB,
                  const std::string& trace, unsigned long maxStep) {
    ASSERT_GE(progress.size(), 2u) << trace;
    EXPECT_EQ(progress.front().done, 0u) << trace;
    EXPECT_EQ(progress.back().done, totalKiB) << trace;
    for (size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(progress[i].total, totalKiB) << "event " << i << ": " << trace;
        if (i == 0)
            continue;
        EXPECT_GE(progress[i].done, progress[i - 1].done) << "event " << i << ": " << trace;
        EXPECT_LE(progress[i].done - progress[i - 1].done, maxStep)
            << "event " << i << ": " << trace;
    }
}

// A smooth bar: steps of at most 1% of the total (KiB rounding allows one more).
void ExpectSmooth(const std::vector<Event>& progress, unsigned long totalKiB,
                  const std::string& trace) {
    ExpectSmooth(progress, totalKiB, trace, std::max<unsigned long>(totalKiB / 100 + 1, 5));
}

// A manager with a recorder attached, on a scratch disc.
class RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override { manager->AddObserver(&events); }
    void TearDown() override {
        events.Open();  // never leave a worker held
        manager.reset();
    }

    ::testing::AssertionResult Drive(const std::string& text) {
        const CD::EError error = manager->SetDrive(text.c_str());
        if (error == CD::eOK)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "SetDrive(" << text << ") gave " << error;
    }
    // The synchronous answers: "<IsValid> <ValidateDrive> <space code>:<free
    // bytes, - when untouched> <drive code>:<drive, the disc folder as D>".
    std::string Now() {
        CString drive("untouched");
        unsigned long long space = 7;
        const CD::EError spaceCode = manager->GetDriveAvailSpace(space);
        const CD::EError driveCode = manager->GetDrive(drive);
        std::string text = drive.GetString();
        if (text.rfind(disc.Path(), 0) == 0)
            text.replace(0, disc.Path().size(), "D");
        return std::to_string(manager->IsValid()) + " " + std::to_string(manager->ValidateDrive()) +
               " " + std::to_string(spaceCode) + ":" + (space == 7 ? "-" : std::to_string(space)) +
               " " + std::to_string(driveCode) + ":" + text;
    }
    std::string Sized(unsigned long long size) const {
        return disc.Path() + "?size=" + std::to_string(size);
    }
    // Starts a job and waits for its event 6.
    ::testing::AssertionResult Run(unsigned operation, const std::function<void()>& start) {
        const size_t before = events.Finished(operation);
        start();
        if (events.WaitFinished(operation, before + 1))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no 6(" << operation << "): " << events.Trace();
    }
    ::testing::AssertionResult Burn(const char* from, bool verify = false) {
        return Run(1, [&] { manager->StartBurn(from, verify); });
    }
    ::testing::AssertionResult Erase(bool full) {
        return Run(2, [&] { manager->StartErase(full); });
    }

    ScratchDir disc{"disc"};
    ScratchDir source{"src"};
    Recorder events;
    std::unique_ptr<CDExpManager> manager = std::make_unique<CDExpManager>();
};

// Drive text and the synchronous questions.

TEST_F(RecorderTest, DriveTextSelectsFolderAndCapacity) {
    const std::string D = disc.Path(), none = "0 2 2:- 2:", kept = "1 0 0:4096 0:D?size=4096";
    EXPECT_EQ(Now(), none);
    const struct {
        std::string text;
        CD::EError code;
        std::string now;
    } cases[] = {
        {D, CD::eOK, "1 0 0:734003200 0:D"},
        {D + "\\", CD::eOK, "1 0 0:734003200 0:D\\"},
        {D + "?cd", CD::eOK, "1 0 0:734003200 0:D?cd"},
        {D + "?CD", CD::eOK, "1 0 0:734003200 0:D?CD"},
        {D + "?dvd", CD::eOK, "1 0 0:4700000000 0:D?dvd"},
        {D + "?size=12345", CD::eOK, "1 0 0:12345 0:D?size=12345"},
        {D + "\\?Size=18446744073709551615", CD::eOK,
         "1 0 0:18446744073709551615 0:D\\?Size=18446744073709551615"},
        {D + "?size=4096", CD::eOK, kept},
        // Refused: the drive before stays.
        {"?cd", CD::eInvalidDrive, kept},
        {D + "?", CD::eInvalidDrive, kept},
        {D + "?bluray", CD::eInvalidDrive, kept},
        {D + "?size=", CD::eInvalidDrive, kept},
        {D + "?size=0", CD::eInvalidDrive, kept},
        {D + "?size=12k", CD::eInvalidDrive, kept},
        {D + "?size=-5", CD::eInvalidDrive, kept},
        {D + "?size=18446744073709551616", CD::eInvalidDrive, kept},
        {D + "?cd?dvd", CD::eInvalidDrive, kept},
        {D + "\\*", CD::eInvalidDrive, kept},
        {"", CD::eNoDrive, none},
        {D + "?size=4096", CD::eOK, kept},
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
    EXPECT_EQ(Now(), "1 0 0:734003200 0:D\\no-disc");
    EXPECT_EQ(manager->SetDrive(nullptr), CD::eNoDrive);
    EXPECT_EQ(Now(), none);
}

// Free space is the capacity less the files on the disc, also as a job that
// posts it in KiB between its 1 and 6 from the worker, as validation posts
// the drive's state.
TEST_F(RecorderTest, SpaceAndValidationAnswerNowAndAsJobs) {
    MakeFile(disc / "a.bin", 10240, 1);
    MakeDirs(disc.Path(), {"sub"});
    MakeFile(disc / "sub\\b.bin", 500, 2);
    const unsigned long long used = 10740;
    const struct {
        std::string drive;
        bool space;  // else validation
        unsigned long long bytes;
        const char* outline;
    } cases[] = {
        // Free KiB rounded down.
        {Sized(1048576), true, 1048576 - used, "1 3(1013) 6(3)"},
        {disc.Path() + "?dvd", true, 4700000000ull - used, "1 3(4589833) 6(3)"},
        // Above 4 TiB the KiB value is capped.
        {Sized(5ull << 40), true, (5ull << 40) - used, "1 3(4294967295) 6(3)"},
        // A disc fuller than its capacity has no room, not a huge one.
        {Sized(1200), true, 0, "1 3(0) 6(3)"},
        {"", true, 0, "1 3(0) 6(3)"},
        {"", false, 0, "1 2(2) 6(4)"},
        {disc / "missing", false, 0, "1 2(3) 6(4)"},
        {disc.Path(), false, 0, "1 2(0) 6(4)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("drive \"" + c.drive + "\"");
        manager->SetDrive(c.drive.c_str());
        unsigned long long space = 0;
        if (c.space && !c.drive.empty()) {
            EXPECT_EQ(manager->GetDriveAvailSpace(space), CD::eOK);
            EXPECT_EQ(space, c.bytes);
        }
        const size_t from = events.Events().size();
        ASSERT_TRUE(Run(c.space ? 3 : 4, [&] {
            c.space ? manager->StartGetDriveAvailSpace() : manager->StartValidateDrive();
        }));
        EXPECT_EQ(events.Outline(from), c.outline);
    }
    for (const Event& e : events.Events())
        EXPECT_NE(e.thread, std::this_thread::get_id()) << Format(e);
}

// Burning.

TEST_F(RecorderTest, BurnCopiesAFolderTreeWithSmoothProgress) {
    MakeDirs(source.Path(), {"IMAGES", "IMAGES\\SERIES1", "EMPTY"});
    MakeFile(source / "DICOMDIR", 3000, 1);
    MakeFile(source / "IMAGES\\SERIES1\\IM1", 1500000, 2);
    MakeFile(source / "IMAGES\\SERIES1\\IM2", 700001, 3);
    MakeFile(source / "IMAGES\\empty.txt", 0, 4);
    const unsigned long long total = 3000 + 1500000 + 700001;
    // A read-only file of the same name on the disc is replaced.
    MakeFile(disc / "DICOMDIR", 10, 5);
    ASSERT_TRUE(SetFileAttributesA((disc / "DICOMDIR").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(Drive(Sized(10000000 + 10)));

    ASSERT_TRUE(Burn(source.Path().c_str()));
    EXPECT_EQ(events.Outline(), "1 5(1,0) 6(1)");
    ExpectSmooth(events.Progress(CD::eProgressBurn), KiBUp(total), events.Trace());
    EXPECT_TRUE(events.Progress(CD::eProgressVerify).empty()) << events.Trace();

    EXPECT_EQ(Listing(disc.Path()), Listing(source.Path()));
    for (const char* file : {"DICOMDIR", "IMAGES\\SERIES1\\IM1", "IMAGES\\SERIES1\\IM2"})
        EXPECT_TRUE(SameContent(source / file, disc / file)) << file;
    unsigned long long space = 0;
    EXPECT_EQ(manager->GetDriveAvailSpace(space), CD::eOK);
    EXPECT_EQ(space, 10000000 + 10 - total);
}

TEST_F(RecorderTest, BurnWithVerifyComparesAfterCopyingWithFreshRecords) {
    MakeFile(source / "one.dcm", 2000000, 7);
    ASSERT_TRUE(Drive(disc.Path()));
    // A single file goes to the disc's root under its own name.
    ASSERT_TRUE(Burn((source / "one.dcm").c_str(), true));
    EXPECT_EQ(events.Outline(), "1 5(1,0) 6(1)");
    ExpectSmooth(events.Progress(CD::eProgressBurn), KiBUp(2000000), events.Trace());
    ExpectSmooth(events.Progress(CD::eProgressVerify), KiBUp(2000000), events.Trace());
    // Verification follows the copy: no burn progress after the first
    // verify, and the result comes last.
    const std::string trace = events.Trace();
    EXPECT_EQ(trace.find("4(k1:", trace.find("4(k2:")), std::string::npos) << trace;
    EXPECT_EQ(trace.substr(trace.find(" 5(")), " 5(1,0) 6(1)") << trace;
    EXPECT_EQ(Listing(disc.Path()), "one.dcm=2000000 ");
    EXPECT_TRUE(SameContent(source / "one.dcm", disc / "one.dcm"));
    // Every 4 and 5 brings an object of its own (the recorder keeps them all).
    std::set<uintptr_t> records;
    for (const Event& e : events.Events())
        EXPECT_TRUE((e.id != 4 && e.id != 5) || records.insert(e.value).second)
            << "posted twice: " << Format(e);
    EXPECT_GE(records.size(), 5u) << "burn and verify progress plus the result";
}

TEST_F(RecorderTest, MoreThanFitsIsRefusedBeforeWritingAnything) {
    MakeFile(source / "a.bin", 600000, 1);
    MakeFile(source / "b.bin", 400000, 2);
    MakeFile(disc / "already.bin", 1000, 3);
    // One byte short of the source plus what the disc holds.
    ASSERT_TRUE(Drive(Sized(1000000 + 1000 - 1)));
    ASSERT_TRUE(Burn(source.Path().c_str()));
    EXPECT_EQ(events.Trace(), "1 5(1,5) 6(1)");
    EXPECT_EQ(Listing(disc.Path()), "already.bin=1000 ");

    // Exactly full is fine.
    ASSERT_TRUE(Drive(Sized(1000000 + 1000)));
    ASSERT_TRUE(Burn(source.Path().c_str()));
    EXPECT_EQ(events.Outline(), "1 5(1,5) 6(1) 1 5(1,0) 6(1)");
    unsigned long long space = 99;
    EXPECT_EQ(manager->GetDriveAvailSpace(space), CD::eOK);
    EXPECT_EQ(space, 0u);
}

TEST_F(RecorderTest, BurnFailuresNameTheirCause) {
    MakeFile(source / "a.bin", 100, 1);
    MakeDirs(source.Path(), {"disc"});
    const std::string file = source / "a.bin", missing = source / "nothing.bin";
    const struct {
        std::string drive;
        const char* from;
        const char* trace;
    } cases[] = {
        {"", file.c_str(), "1 5(1,2) 6(1)"},
        {disc / "gone", file.c_str(), "1 5(1,3) 6(1)"},
        {disc.Path(), missing.c_str(), "1 5(1,6) 6(1)"},
        {disc.Path(), nullptr, "1 5(1,6) 6(1)"},
        {disc.Path(), "", "1 5(1,6) 6(1)"},
        // The disc inside the source and the source inside the disc.
        {source / "disc", source.Path().c_str(), "1 5(1,10) 6(1)"},
        {source.Path(), file.c_str(), "1 5(1,10) 6(1)"},
    };
    for (const auto& c : cases) {
        manager->SetDrive(c.drive.c_str());
        const size_t from = events.Events().size();
        ASSERT_TRUE(Burn(c.from));
        EXPECT_EQ(events.Trace(from), c.trace)
            << "drive \"" << c.drive << "\", source " << (c.from ? c.from : "(null)");
    }
    EXPECT_EQ(Listing(disc.Path()), "(empty)");
    EXPECT_EQ(Listing(source / "disc"), "(empty)");
}

// Erasing.

TEST_F(RecorderTest, FullEraseEmptiesTheDiscWithProgress) {
    MakeDirs(disc.Path(), {"d1", "d1\\d2"});
    unsigned long long total = 0;
    unsigned seed = 0;
    for (const auto& [name, size] : std::map<std::string, size_t>{{"a", 300000},
                                                                  {"d1\\b", 200000},
                                                                  {"d1\\d2\\c", 150000},
                                                                  {"d1\\d2\\empty", 0},
                                                                  {"e", 524288}}) {
        MakeFile(disc / name, size, ++seed);
        total += size;
    }
    ASSERT_TRUE(SetFileAttributesA((disc / "d1\\b").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(Drive(disc.Path()));
    ASSERT_TRUE(Erase(true));
    EXPECT_EQ(events.Outline(), "1 5(2,0) 6(2)");
    // Progress by file, so no bound on a step.
    ExpectSmooth(events.Progress(CD::eProgressErase), KiBUp(total), events.Trace(), ~0ul);
    EXPECT_TRUE(vesko::test::IsDir(disc.Path()));
    EXPECT_EQ(Listing(disc.Path()), "(empty)");
}

TEST_F(RecorderTest, QuickEraseHasNoProgressAndErrorsAreReported) {
    MakeFile(disc / "a", 1000, 1);
    ASSERT_TRUE(Erase(false));
    ASSERT_TRUE(Drive(disc.Path()));
    ASSERT_TRUE(Erase(false));
    ASSERT_TRUE(Drive(disc / "gone"));
    ASSERT_TRUE(Erase(true));
    EXPECT_EQ(events.Trace(), "1 5(2,2) 6(2) 1 5(2,0) 6(2) 1 5(2,3) 6(2)");
    EXPECT_EQ(Listing(disc.Path()), "(empty)");

    // A file another program holds open without sharing deletion.
    MakeFile(disc / "locked", 1000, 1);
    vesko::UniqueHandle locked(CreateFileA((disc / "locked").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(locked.Get(), INVALID_HANDLE_VALUE) << vesko::test::Describe(GetLastError());
    ASSERT_TRUE(Drive(disc.Path()));
    const size_t from = events.Events().size();
    ASSERT_TRUE(Erase(true));
    EXPECT_EQ(events.Outline(from), "1 5(2,7) 6(2)");
}

TEST_F(RecorderTest, AnObserverMayStartTheNextJobFromTheResult) {
    MakeFile(source / "a.bin", 300000, 1);
    ASSERT_TRUE(Drive(disc.Path()));
    events.Hook([m = manager.get()](const Event& e) {
        if (e.id == 5 && e.first == 1)
            m->StartErase(false);
        return false;
    });
    manager->StartBurn((source / "a.bin").c_str(), false);
    ASSERT_TRUE(events.WaitFinished(2)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 5(1,0) 6(1) 1 5(2,0) 6(2)");
    EXPECT_EQ(Listing(disc.Path()), "(empty)");
}

TEST_F(RecorderTest, IdleManagerIgnoresCancelAndStopAndIsDestroyedAtOnce) {
    std::make_unique<CDExpManager>().reset();  // never used
    manager->Cancel();
    manager->Stop();
    MakeFile(source / "a.bin", 5000, 1);
    ASSERT_TRUE(Drive(disc.Path()));
    ASSERT_TRUE(Burn((source / "a.bin").c_str()));
    EXPECT_EQ(events.Outline(), "1 5(1,0) 6(1)");
    // A late Cancel after the job ended changes nothing on the disc.
    manager->Cancel();
    EXPECT_EQ(Listing(disc.Path()), "a.bin=5000 ");
    const auto start = Clock::now();
    manager.reset();
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(events.Outline(), "1 5(1,0) 6(1)");
}

// Interruptions, on a 40 MB source of four files made once.
class InterruptTest : public RecorderTest {
  protected:
    static constexpr size_t kFileSize = 10 * 1024 * 1024;
    static constexpr int kFiles = 4;

    static void SetUpTestSuite() {
        s_source = std::make_unique<ScratchDir>("big");
        for (int i = 0; i < kFiles; ++i)
            MakeFile(BigFile(i), kFileSize, 100 + static_cast<unsigned>(i));
    }
    static void TearDownTestSuite() { s_source.reset(); }
    static std::string BigFile(int i) { return *s_source / ("part" + std::to_string(i) + ".bin"); }

    // Starts the big burn and holds it at the first progress of kind past
    // atKiB (by default once more than 1.5 files are copied).
    void StartHeldBurn(bool verify = false, unsigned kind = CD::eProgressBurn,
                       unsigned long atKiB = KiBUp(kFileSize * 3 / 2)) {
        MakeFile(disc / "earlier.txt", 100, 9);
        ASSERT_TRUE(Drive(disc.Path() + "?dvd"));
        events.Hook([kind, atKiB](const Event& e) {
            return e.id == 4 && e.kind == kind && e.done > atKiB;
        });
        manager->StartBurn(s_source->Path().c_str(), verify);
        ASSERT_TRUE(events.WaitHeld()) << events.Trace();
    }
    // Lets the held job go; it must end within a second.
    void ReleaseAndFinishPromptly() {
        const auto start = Clock::now();
        events.Open();
        EXPECT_TRUE(events.WaitFinished(1)) << events.Trace();
        const long long ms = MsSince(start);
        EXPECT_LT(ms, 1000) << "the interrupted burn took " << ms << " ms to end";
    }
    // The disc holds only complete copies of source files and earlier.txt.
    std::vector<std::string> CompleteCopies() {
        std::vector<std::string> copies;
        for (const auto& kv : Tree(disc.Path())) {
            if (kv.first == "earlier.txt")
                continue;
            EXPECT_EQ(kv.first.rfind("part", 0), 0u) << "unexpected file on the disc: " << kv.first;
            EXPECT_TRUE(SameContent(*s_source / kv.first, disc / kv.first))
                << "incomplete copy: " << kv.first;
            copies.push_back(kv.first);
        }
        EXPECT_TRUE(Exists(disc / "earlier.txt")) << "the burn removed a file it did not write";
        return copies;
    }

    static std::unique_ptr<ScratchDir> s_source;
};
std::unique_ptr<ScratchDir> InterruptTest::s_source;

TEST_F(InterruptTest, CancelRemovesEverythingTheBurnWrote) {
    ASSERT_NO_FATAL_FAILURE(StartHeldBurn());
    manager->Cancel();
    ReleaseAndFinishPromptly();
    EXPECT_EQ(events.Outline(), "1 7(1) 5(1,8) 6(1)");
    EXPECT_EQ(Listing(disc.Path()), "earlier.txt=100 ");
    // Progress stopped where the cancel found it: never at the total.
    EXPECT_LT(events.Progress(CD::eProgressBurn).back().done, KiBUp(kFileSize * kFiles))
        << events.Trace();
}

TEST_F(InterruptTest, CancelAfterStopWins) {
    ASSERT_NO_FATAL_FAILURE(StartHeldBurn());
    manager->Stop();
    manager->Cancel();  // wins over a Stop not yet acted on
    ReleaseAndFinishPromptly();
    EXPECT_EQ(events.Outline(), "1 7(1) 5(1,8) 6(1)");
    EXPECT_EQ(Listing(disc.Path()), "earlier.txt=100 ");
}

TEST_F(InterruptTest, StopKeepsCompletedFilesAndDropsThePartialOne) {
    ASSERT_NO_FATAL_FAILURE(StartHeldBurn());
    manager->Stop();
    ReleaseAndFinishPromptly();
    EXPECT_EQ(events.Outline(), "1 7(1) 5(1,9) 6(1)");
    // More than one and a half files were copied when the stop came: at
    // least one complete file stays, the one in progress does not.
    const auto copies = CompleteCopies();
    EXPECT_GE(copies.size(), 1u) << Listing(disc.Path());
    EXPECT_LT(copies.size(), static_cast<size_t>(kFiles)) << Listing(disc.Path());
}

TEST_F(InterruptTest, CancelDuringVerificationRemovesTheCopies) {
    ASSERT_NO_FATAL_FAILURE(StartHeldBurn(true, CD::eProgressVerify, 1024));
    EXPECT_EQ(CompleteCopies().size(), static_cast<size_t>(kFiles));
    manager->Cancel();
    ReleaseAndFinishPromptly();
    EXPECT_EQ(events.Outline(), "1 7(1) 5(1,8) 6(1)");
    EXPECT_EQ(Listing(disc.Path()), "earlier.txt=100 ");
}

TEST_F(InterruptTest, AJobWhileAnotherRunsIsRefusedOnTheCallersThread) {
    ASSERT_NO_FATAL_FAILURE(StartHeldBurn());
    const auto before = events.Events().size();
    manager->StartBurn(BigFile(0).c_str(), false);
    manager->StartErase(true);
    manager->StartValidateDrive();
    manager->StartGetDriveAvailSpace();
    EXPECT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eDriveBusy);
    const auto all = events.Events();
    ASSERT_EQ(all.size(), before + 4) << events.Trace();
    // Posted before each Start returned, on this thread.
    for (size_t i = before; i < all.size(); ++i)
        EXPECT_EQ(all[i].thread, std::this_thread::get_id()) << Format(all[i]);
    // The space answer is the free space of the moment: the DVD less what
    // the held burn has completed so far (and its partial file).
    const uintptr_t freeKiB = all.back().value;
    EXPECT_LT(freeKiB, 4700000000ull / 1024 - KiBUp(kFileSize)) << events.Trace(before);
    EXPECT_GT(freeKiB, 4700000000ull / 1024 - KiBUp(kFileSize * kFiles) - 1)
        << events.Trace(before);

    manager->Cancel();
    ReleaseAndFinishPromptly();
    // The refusals between the running job's own 1 and its end.
    EXPECT_EQ(events.Outline(),
              "1 5(1,4) 5(2,4) 2(4) 3(" + std::to_string(freeKiB) + ") 7(1) 5(1,8) 6(1)");
}

TEST_F(InterruptTest, DestroyingTheManagerMidBurnCancelsAndWaits) {
    ASSERT_NO_FATAL_FAILURE(StartHeldBurn());
    std::thread destroyer([this] { manager.reset(); });
    // The destructor asks for the cancel, then waits for the held worker.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    events.Open();
    destroyer.join();
    const long long ms = MsSince(start);
    EXPECT_LT(ms, 1000) << "destruction took " << ms << " ms after the worker was let go";
    EXPECT_EQ(events.Outline(), "1 7(1) 5(1,8) 6(1)");
    EXPECT_EQ(Listing(disc.Path()), "earlier.txt=100 ");
}

}  // namespace
