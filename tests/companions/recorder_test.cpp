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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using vesko::test::Exists;
using vesko::test::ScratchDir;

namespace {

using Clock = std::chrono::steady_clock;

unsigned long KiBUp(unsigned long long bytes) {
    return static_cast<unsigned long>((bytes + 1023) / 1024);
}

// One event as an observer saw it; the records of 4 and 5 are copied and
// deleted on arrival, as a consumer must.
struct Event {
    unsigned id = 0;
    uintptr_t value = 0;  // the data bits of 2, 3, 6, 7
    bool nullData = false;
    unsigned kind = 0;  // event 4
    unsigned long done = 0, total = 0;
    unsigned long first = 0, second = 0;  // event 5
    std::thread::id thread;
};

std::string Format(const Event& e) {
    std::ostringstream s;
    switch (e.id) {
        case 1:
            s << "1" << (e.nullData ? "" : "(non-null)");
            break;
        case 4:
            s << "4(k" << e.kind << ":" << e.done << "/" << e.total << ")";
            break;
        case 5:
            s << "5(" << e.first << "," << e.second << ")";
            break;
        default:
            s << e.id << "(" << e.value << ")";
            break;
    }
    return s.str();
}

// Records every event; can hold the posting thread at a chosen event (the
// gate) so that a test acts while a job is provably in the middle of its
// work.
class Recorder : public Observer {
  public:
    using Predicate = std::function<bool(const Event&)>;

    void OnEvent(Observable*, unsigned int eventId, void* data) override {
        Event e;
        e.id = eventId;
        e.thread = std::this_thread::get_id();
        e.nullData = data == nullptr;
        if (eventId == 4) {
            auto* progress = static_cast<CDProgress*>(data);
            e.kind = progress->GetKind();
            e.done = progress->GetValue1();
            e.total = progress->GetValue2();
            delete progress;
        } else if (eventId == 5) {
            auto* result = static_cast<CDResult*>(data);
            e.first = result->GetFirst();
            e.second = result->GetSecond();
            delete result;
        } else {
            e.value = reinterpret_cast<uintptr_t>(data);
        }
        std::function<void(const Event&)> action;
        bool hold = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(e);
            action = m_action;
            if (m_gate && !m_gateHit && m_gate(e)) {
                m_gateHit = true;
                hold = true;
            }
        }
        m_changed.notify_all();
        if (action)
            action(e);
        if (hold) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_gateOpen; });
        }
    }

    // Holds the first event matching when until Open().
    void HoldAt(Predicate when) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gate = std::move(when);
    }
    bool WaitHeld(int ms = 10000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms),
                                  [this] { return m_gateHit; });
    }
    void Open() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_gateOpen = true;
        }
        m_changed.notify_all();
    }
    // Runs on the posting thread after each event is recorded.
    void OnEach(std::function<void(const Event&)> action) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_action = std::move(action);
    }

    // Waits for the count-th event 6 of operation.
    bool WaitFinished(unsigned operation, int count = 1, int ms = 20000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            return std::count_if(m_events.begin(), m_events.end(), [&](const Event& e) {
                       return e.id == 6 && e.value == operation;
                   }) >= count;
        });
    }
    std::vector<Event> Events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    std::string Trace() const {
        std::string out;
        for (const Event& e : Events())
            out += Format(e) + " ";
        return out;
    }
    // The events without progress, as "1 5(1,0) 6(1)".
    std::string Outline() const {
        std::string out;
        for (const Event& e : Events())
            if (e.id != 4)
                out += (out.empty() ? "" : " ") + Format(e);
        return out;
    }
    std::vector<Event> Progress(unsigned kind) const {
        std::vector<Event> out;
        for (const Event& e : Events())
            if (e.id == 4 && e.kind == kind)
                out.push_back(e);
        return out;
    }

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
    Predicate m_gate;
    bool m_gateHit = false;
    bool m_gateOpen = false;
    std::function<void(const Event&)> m_action;
};

// Writes size bytes whose content depends on seed, so that files differ.
void MakeFile(const std::string& path, unsigned long long size, unsigned seed) {
    vesko::test::RemoveTree(path);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path << ": " << vesko::test::Describe(GetLastError());
    std::vector<unsigned> block(256 * 1024 / sizeof(unsigned));
    unsigned x = seed * 2654435761u + 1;
    for (unsigned& v : block)
        v = (x = x * 1664525u + 1013904223u);
    unsigned long long left = size;
    while (left > 0) {
        const DWORD n =
            static_cast<DWORD>(std::min<unsigned long long>(left, block.size() * sizeof(unsigned)));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, block.data(), n, &written, nullptr) && written == n) << path;
        left -= n;
        block[0] ^= static_cast<unsigned>(left);  // no two blocks alike
    }
    CloseHandle(h);
}

// Relative path -> size ("" for folders ends in "\\") of a tree.
std::map<std::string, unsigned long long> Tree(const std::string& root,
                                               const std::string& relative = "") {
    std::map<std::string, unsigned long long> out;
    WIN32_FIND_DATAA fd;
    HANDLE f =
        FindFirstFileA((root + (relative.empty() ? "" : "\\" + relative) + "\\*").c_str(), &fd);
    if (f == INVALID_HANDLE_VALUE)
        return out;
    do {
        const std::string name = fd.cFileName;
        if (name == "." || name == "..")
            continue;
        const std::string rel = relative.empty() ? name : relative + "\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[rel + "\\"] = 0;
            for (const auto& kv : Tree(root, rel))
                out.insert(kv);
        } else {
            out[rel] = (static_cast<unsigned long long>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
        }
    } while (FindNextFileA(f, &fd));
    FindClose(f);
    return out;
}

std::string Listing(const std::map<std::string, unsigned long long>& tree) {
    std::string out;
    for (const auto& kv : tree)
        out += kv.first + "=" + std::to_string(kv.second) + " ";
    return out.empty() ? "(empty)" : out;
}

bool SameContent(const std::string& a, const std::string& b) {
    return vesko::test::ReadFileText(a) == vesko::test::ReadFileText(b);
}

std::string Drive(const ScratchDir& disc, unsigned long long size) {
    return disc.Path() + "?size=" + std::to_string(size);
}

// Checks a progress run: starts at 0, never goes back, ends at the total,
// and steps at most 1% of the total (KiB rounding allows one more).
void ExpectSmooth(const std::vector<Event>& progress, unsigned long totalKiB,
                  const std::string& trace) {
    ASSERT_GE(progress.size(), 2u) << trace;
    EXPECT_EQ(progress.front().done, 0u) << trace;
    EXPECT_EQ(progress.back().done, totalKiB) << trace;
    const unsigned long step = std::max<unsigned long>(totalKiB / 100 + 1, 5);
    for (size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(progress[i].total, totalKiB) << "event " << i << ": " << trace;
        if (i == 0)
            continue;
        EXPECT_GE(progress[i].done, progress[i - 1].done) << "event " << i << ": " << trace;
        EXPECT_LE(progress[i].done - progress[i - 1].done, step) << "event " << i << ": " << trace;
    }
}

// A manager with a recorder attached, on a scratch disc.
class RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override { manager->AddObserver(&events); }
    void TearDown() override {
        events.Open();  // never leave a worker held
        manager.reset();
    }

    ScratchDir disc{"disc"};
    ScratchDir source{"src"};
    Recorder events;
    std::unique_ptr<CDExpManager> manager = std::make_unique<CDExpManager>();
};

// Drive text and the synchronous questions.

TEST_F(RecorderTest, DriveTextSelectsFolderAndCapacity) {
    EXPECT_FALSE(manager->IsValid());
    CString text("untouched");
    EXPECT_EQ(manager->GetDrive(text), CD::eNoDrive);
    EXPECT_STREQ(text, "") << "GetDrive without a drive left: " << text.GetString();
    EXPECT_EQ(manager->ValidateDrive(), CD::eNoDrive);
    unsigned long long space = 7;
    EXPECT_EQ(manager->GetDriveAvailSpace(space), CD::eNoDrive);
    EXPECT_EQ(manager->GetName(), std::string("CDExpManager"));

    const struct {
        std::string text;
        unsigned long long capacity;
    } good[] = {
        {disc.Path(), 734003200ull},
        {disc.Path() + "\\", 734003200ull},
        {disc.Path() + "?cd", 734003200ull},
        {disc.Path() + "?CD", 734003200ull},
        {disc.Path() + "?dvd", 4700000000ull},
        {disc.Path() + "?size=12345", 12345ull},
        {disc.Path() + "\\?Size=18446744073709551615", 18446744073709551615ull},
    };
    for (const auto& g : good) {
        EXPECT_EQ(manager->SetDrive(g.text.c_str()), CD::eOK) << g.text;
        EXPECT_TRUE(manager->IsValid()) << g.text;
        EXPECT_EQ(manager->GetDrive(text), CD::eOK) << g.text;
        EXPECT_EQ(std::string(text), g.text);
        space = 0;
        EXPECT_EQ(manager->GetDriveAvailSpace(space), CD::eOK) << g.text;
        EXPECT_EQ(space, g.capacity) << g.text;
    }

    const std::string kept = disc.Path() + "?size=4096";
    ASSERT_EQ(manager->SetDrive(kept.c_str()), CD::eOK);
    const std::string bad[] = {"?cd",
                               disc.Path() + "?",
                               disc.Path() + "?bluray",
                               disc.Path() + "?size=",
                               disc.Path() + "?size=0",
                               disc.Path() + "?size=12k",
                               disc.Path() + "?size=-5",
                               disc.Path() + "?size=18446744073709551616",
                               disc.Path() + "?cd?dvd",
                               disc.Path() + "\\*"};
    for (const auto& b : bad) {
        EXPECT_EQ(manager->SetDrive(b.c_str()), CD::eInvalidDrive) << b;
        EXPECT_EQ(manager->GetDrive(text), CD::eOK) << b;
        EXPECT_EQ(std::string(text), kept) << "after refusing " << b;
    }

    EXPECT_EQ(manager->SetDrive(""), CD::eNoDrive);
    EXPECT_EQ(manager->GetDrive(text), CD::eNoDrive) << text.GetString();
    ASSERT_EQ(manager->SetDrive(kept.c_str()), CD::eOK);
    EXPECT_EQ(manager->SetDrive(nullptr), CD::eNoDrive);
    EXPECT_FALSE(manager->IsValid());
}

TEST_F(RecorderTest, MissingFolderIsASelectedButInvalidDrive) {
    const std::string missing = disc / "no-disc";
    ASSERT_EQ(manager->SetDrive(missing.c_str()), CD::eOK);
    EXPECT_FALSE(manager->IsValid());
    EXPECT_EQ(manager->ValidateDrive(), CD::eInvalidDrive);
    unsigned long long space = 99;
    EXPECT_EQ(manager->GetDriveAvailSpace(space), CD::eInvalidDrive);
    EXPECT_EQ(space, 99u);

    ASSERT_TRUE(vesko::test::WriteFileText(missing, "a file, not a folder"));
    EXPECT_FALSE(manager->IsValid());
    EXPECT_EQ(manager->ValidateDrive(), CD::eInvalidDrive);

    DeleteFileA(missing.c_str());
    ASSERT_TRUE(CreateDirectoryA(missing.c_str(), nullptr));
    EXPECT_TRUE(manager->IsValid());
    EXPECT_EQ(manager->ValidateDrive(), CD::eOK);
}

TEST_F(RecorderTest, FreeSpaceIsCapacityLessTheFilesOnTheDisc) {
    MakeFile(disc / "a.bin", 1000, 1);
    ASSERT_TRUE(CreateDirectoryA((disc / "sub").c_str(), nullptr));
    MakeFile(disc / "sub\\b.bin", 500, 2);
    ASSERT_EQ(manager->SetDrive(Drive(disc, 10000).c_str()), CD::eOK);
    unsigned long long space = 0;
    EXPECT_EQ(manager->GetDriveAvailSpace(space), CD::eOK);
    EXPECT_EQ(space, 8500u);
    // A disc fuller than its capacity has no room, not a huge one.
    ASSERT_EQ(manager->SetDrive(Drive(disc, 1200).c_str()), CD::eOK);
    EXPECT_EQ(manager->GetDriveAvailSpace(space), CD::eOK);
    EXPECT_EQ(space, 0u);
}

// Space query and validation jobs.

TEST_F(RecorderTest, SpaceQueryPostsFreeKiB) {
    MakeFile(disc / "a.bin", 10240, 1);
    ASSERT_EQ(manager->SetDrive(Drive(disc, 1048576).c_str()), CD::eOK);
    manager->StartGetDriveAvailSpace();
    ASSERT_TRUE(events.WaitFinished(3)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 3(1014) 6(3)");

    ASSERT_EQ(manager->SetDrive((disc.Path() + "?dvd").c_str()), CD::eOK);
    manager->StartGetDriveAvailSpace();
    ASSERT_TRUE(events.WaitFinished(3, 2)) << events.Trace();
    // (4700000000 - 10240) / 1024, rounded down.
    EXPECT_EQ(events.Outline(), "1 3(1014) 6(3) 1 3(4589833) 6(3)");

    ASSERT_EQ(manager->SetDrive(""), CD::eNoDrive);
    manager->StartGetDriveAvailSpace();
    ASSERT_TRUE(events.WaitFinished(3, 3)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 3(1014) 6(3) 1 3(4589833) 6(3) 1 3(0) 6(3)");

    const auto all = events.Events();
    EXPECT_TRUE(all.front().nullData) << events.Trace();
    for (const Event& e : all)
        EXPECT_NE(e.thread, std::this_thread::get_id()) << Format(e);
}

TEST_F(RecorderTest, CapacityAboveFourTebibytesCapsTheKiBEvent) {
    ASSERT_EQ(manager->SetDrive((disc.Path() + "?size=" + std::to_string(5ull << 40)).c_str()),
              CD::eOK);
    manager->StartGetDriveAvailSpace();
    ASSERT_TRUE(events.WaitFinished(3)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 3(4294967295) 6(3)");
}

TEST_F(RecorderTest, ValidationPostsTheDriveState) {
    manager->StartValidateDrive();
    ASSERT_TRUE(events.WaitFinished(4)) << events.Trace();
    ASSERT_EQ(manager->SetDrive((disc / "missing").c_str()), CD::eOK);
    manager->StartValidateDrive();
    ASSERT_TRUE(events.WaitFinished(4, 2)) << events.Trace();
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    manager->StartValidateDrive();
    ASSERT_TRUE(events.WaitFinished(4, 3)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 2(2) 6(4) 1 2(3) 6(4) 1 2(0) 6(4)");
}

// Burning.

TEST_F(RecorderTest, BurnCopiesAFolderTreeWithSmoothProgress) {
    ASSERT_TRUE(CreateDirectoryA((source / "IMAGES").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((source / "IMAGES\\SERIES1").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((source / "EMPTY").c_str(), nullptr));
    MakeFile(source / "DICOMDIR", 3000, 1);
    MakeFile(source / "IMAGES\\SERIES1\\IM1", 1500000, 2);
    MakeFile(source / "IMAGES\\SERIES1\\IM2", 700001, 3);
    MakeFile(source / "IMAGES\\empty.txt", 0, 4);
    const unsigned long long total = 3000 + 1500000 + 700001;
    ASSERT_EQ(manager->SetDrive(Drive(disc, 10000000).c_str()), CD::eOK);

    manager->StartBurn(source.Path().c_str(), false);
    ASSERT_TRUE(events.WaitFinished(1)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 5(1,0) 6(1)");
    ExpectSmooth(events.Progress(CD::eProgressBurn), KiBUp(total), events.Trace());
    EXPECT_TRUE(events.Progress(CD::eProgressVerify).empty()) << events.Trace();

    EXPECT_EQ(Listing(Tree(disc.Path())), Listing(Tree(source.Path())));
    for (const char* file : {"DICOMDIR", "IMAGES\\SERIES1\\IM1", "IMAGES\\SERIES1\\IM2"})
        EXPECT_TRUE(SameContent(source / file, disc / file)) << file;
    unsigned long long space = 0;
    EXPECT_EQ(manager->GetDriveAvailSpace(space), CD::eOK);
    EXPECT_EQ(space, 10000000 - total);
}

TEST_F(RecorderTest, BurnWithVerifyComparesAfterCopying) {
    MakeFile(source / "one.dcm", 2000000, 7);
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    // A single file goes to the disc's root under its own name.
    manager->StartBurn((source / "one.dcm").c_str(), true);
    ASSERT_TRUE(events.WaitFinished(1)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 5(1,0) 6(1)");
    ExpectSmooth(events.Progress(CD::eProgressBurn), KiBUp(2000000), events.Trace());
    ExpectSmooth(events.Progress(CD::eProgressVerify), KiBUp(2000000), events.Trace());
    // Verification follows the copy: no burn progress after the first verify.
    const auto all = events.Events();
    const auto firstVerify = std::find_if(all.begin(), all.end(), [](const Event& e) {
        return e.id == 4 && e.kind == CD::eProgressVerify;
    });
    EXPECT_TRUE(std::none_of(firstVerify, all.end(), [](const Event& e) {
        return e.id == 4 && e.kind == CD::eProgressBurn;
    })) << events.Trace();
    EXPECT_EQ(Listing(Tree(disc.Path())), "one.dcm=2000000 ");
    EXPECT_TRUE(SameContent(source / "one.dcm", disc / "one.dcm"));
}

TEST_F(RecorderTest, MoreThanFitsIsRefusedBeforeWritingAnything) {
    MakeFile(source / "a.bin", 600000, 1);
    MakeFile(source / "b.bin", 400000, 2);
    MakeFile(disc / "already.bin", 1000, 3);
    // One byte short of the source plus what the disc holds.
    ASSERT_EQ(manager->SetDrive(Drive(disc, 1000000 + 1000 - 1).c_str()), CD::eOK);
    manager->StartBurn(source.Path().c_str(), false);
    ASSERT_TRUE(events.WaitFinished(1)) << events.Trace();
    EXPECT_EQ(events.Trace(), "1 5(1,5) 6(1) ");
    EXPECT_EQ(Listing(Tree(disc.Path())), "already.bin=1000 ");

    // Exactly full is fine.
    ASSERT_EQ(manager->SetDrive(Drive(disc, 1000000 + 1000).c_str()), CD::eOK);
    manager->StartBurn(source.Path().c_str(), false);
    ASSERT_TRUE(events.WaitFinished(1, 2)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 5(1,5) 6(1) 1 5(1,0) 6(1)");
    unsigned long long space = 99;
    EXPECT_EQ(manager->GetDriveAvailSpace(space), CD::eOK);
    EXPECT_EQ(space, 0u);
}

TEST_F(RecorderTest, BurnFailuresNameTheirCause) {
    MakeFile(source / "a.bin", 100, 1);
    // No drive, then a drive whose folder is missing.
    manager->StartBurn((source / "a.bin").c_str(), false);
    ASSERT_TRUE(events.WaitFinished(1, 1)) << events.Trace();
    ASSERT_EQ(manager->SetDrive((disc / "gone").c_str()), CD::eOK);
    manager->StartBurn((source / "a.bin").c_str(), false);
    ASSERT_TRUE(events.WaitFinished(1, 2)) << events.Trace();
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    // Missing, null and empty sources.
    manager->StartBurn((source / "nothing.bin").c_str(), false);
    ASSERT_TRUE(events.WaitFinished(1, 3)) << events.Trace();
    manager->StartBurn(nullptr, false);
    ASSERT_TRUE(events.WaitFinished(1, 4)) << events.Trace();
    manager->StartBurn("", false);
    ASSERT_TRUE(events.WaitFinished(1, 5)) << events.Trace();
    // The disc inside the source and the source inside the disc.
    ASSERT_EQ(manager->SetDrive((source / "disc").c_str()), CD::eOK);
    ASSERT_TRUE(CreateDirectoryA((source / "disc").c_str(), nullptr));
    manager->StartBurn(source.Path().c_str(), false);
    ASSERT_TRUE(events.WaitFinished(1, 6)) << events.Trace();
    ASSERT_EQ(manager->SetDrive(source.Path().c_str()), CD::eOK);
    manager->StartBurn((source / "a.bin").c_str(), false);
    ASSERT_TRUE(events.WaitFinished(1, 7)) << events.Trace();

    EXPECT_EQ(events.Trace(),
              "1 5(1,2) 6(1) 1 5(1,3) 6(1) 1 5(1,6) 6(1) 1 5(1,6) 6(1) 1 5(1,6) 6(1) "
              "1 5(1,10) 6(1) 1 5(1,10) 6(1) ");
    EXPECT_EQ(Listing(Tree(disc.Path())), "(empty)");
    EXPECT_EQ(Listing(Tree(source / "disc")), "(empty)");
}

TEST_F(RecorderTest, ReplacesAReadOnlyFileOfTheSameName) {
    MakeFile(source / "a.bin", 5000, 1);
    MakeFile(disc / "a.bin", 10, 2);
    ASSERT_TRUE(SetFileAttributesA((disc / "a.bin").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    manager->StartBurn((source / "a.bin").c_str(), false);
    ASSERT_TRUE(events.WaitFinished(1)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 5(1,0) 6(1)");
    EXPECT_TRUE(SameContent(source / "a.bin", disc / "a.bin"));
}

// Erasing.

TEST_F(RecorderTest, FullEraseEmptiesTheDiscWithProgress) {
    ASSERT_TRUE(CreateDirectoryA((disc / "d1").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((disc / "d1\\d2").c_str(), nullptr));
    const unsigned long long sizes[] = {300000, 200000, 150000, 0, 524288};
    const char* names[] = {"a", "d1\\b", "d1\\d2\\c", "d1\\d2\\empty", "e"};
    unsigned long long total = 0;
    for (int i = 0; i < 5; ++i) {
        MakeFile(disc / names[i], sizes[i], static_cast<unsigned>(i));
        total += sizes[i];
    }
    ASSERT_TRUE(SetFileAttributesA((disc / "d1\\b").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    manager->StartErase(true);
    ASSERT_TRUE(events.WaitFinished(2)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 5(2,0) 6(2)");
    const auto progress = events.Progress(CD::eProgressErase);
    ASSERT_FALSE(progress.empty()) << events.Trace();
    EXPECT_EQ(progress.front().done, 0u) << events.Trace();
    EXPECT_EQ(progress.back().done, KiBUp(total)) << events.Trace();
    for (size_t i = 1; i < progress.size(); ++i)
        EXPECT_GE(progress[i].done, progress[i - 1].done) << events.Trace();
    EXPECT_TRUE(vesko::test::IsDir(disc.Path()));
    EXPECT_EQ(Listing(Tree(disc.Path())), "(empty)");
}

TEST_F(RecorderTest, QuickEraseHasNoProgressAndErrorsAreReported) {
    MakeFile(disc / "a", 1000, 1);
    manager->StartErase(false);
    ASSERT_TRUE(events.WaitFinished(2, 1)) << events.Trace();
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    manager->StartErase(false);
    ASSERT_TRUE(events.WaitFinished(2, 2)) << events.Trace();
    ASSERT_EQ(manager->SetDrive((disc / "gone").c_str()), CD::eOK);
    manager->StartErase(true);
    ASSERT_TRUE(events.WaitFinished(2, 3)) << events.Trace();
    EXPECT_EQ(events.Trace(), "1 5(2,2) 6(2) 1 5(2,0) 6(2) 1 5(2,3) 6(2) ");
    EXPECT_EQ(Listing(Tree(disc.Path())), "(empty)");
}

TEST_F(RecorderTest, EraseReportsAFileItCannotDelete) {
    MakeFile(disc / "locked", 1000, 1);
    // Another program holds the file open without sharing deletion.
    HANDLE h = CreateFileA((disc / "locked").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    manager->StartErase(true);
    const bool finished = events.WaitFinished(2);
    CloseHandle(h);
    ASSERT_TRUE(finished) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 5(2,7) 6(2)");
}

// A 40 MB source of four files, made once for the interruption tests.
class InterruptTest : public RecorderTest {
  protected:
    static constexpr unsigned long long kFileSize = 10ull * 1024 * 1024;
    static constexpr int kFiles = 4;

    static void SetUpTestSuite() {
        s_source = std::make_unique<ScratchDir>("big");
        for (int i = 0; i < kFiles; ++i)
            MakeFile(BigFile(i), kFileSize, 100 + static_cast<unsigned>(i));
    }
    static void TearDownTestSuite() { s_source.reset(); }
    static std::string BigFile(int i) { return *s_source / ("part" + std::to_string(i) + ".bin"); }

    // Starts the big burn and holds it once more than 1.5 files are copied.
    void StartHeldBurn(bool verify = false) {
        MakeFile(disc / "earlier.txt", 100, 9);
        ASSERT_EQ(manager->SetDrive((disc.Path() + "?dvd").c_str()), CD::eOK);
        events.HoldAt([](const Event& e) {
            return e.id == 4 && e.kind == CD::eProgressBurn && e.done > KiBUp(kFileSize * 3 / 2);
        });
        manager->StartBurn(s_source->Path().c_str(), verify);
        ASSERT_TRUE(events.WaitHeld()) << events.Trace();
    }
    // Lets the held job go and measures how long until its 6.
    long long ReleaseAndTimeToFinish() {
        const auto start = Clock::now();
        events.Open();
        EXPECT_TRUE(events.WaitFinished(1)) << events.Trace();
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
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
    StartHeldBurn();
    manager->Cancel();
    const long long ms = ReleaseAndTimeToFinish();
    EXPECT_LT(ms, 1000) << "Cancel took " << ms << " ms";
    EXPECT_EQ(events.Outline(), "1 7(1) 5(1,8) 6(1)");
    EXPECT_TRUE(CompleteCopies().empty()) << Listing(Tree(disc.Path()));
    EXPECT_EQ(Listing(Tree(disc.Path())), "earlier.txt=100 ");
    // Progress stopped where the cancel found it: never at the total.
    EXPECT_LT(events.Progress(CD::eProgressBurn).back().done, KiBUp(kFileSize * kFiles))
        << events.Trace();
}

TEST_F(InterruptTest, CancelAfterStopWins) {
    StartHeldBurn();
    manager->Stop();
    manager->Cancel();  // wins over a Stop not yet acted on
    const long long ms = ReleaseAndTimeToFinish();
    EXPECT_LT(ms, 1000) << "Stop took " << ms << " ms";
    EXPECT_EQ(events.Outline(), "1 7(1) 5(1,8) 6(1)");
}

TEST_F(InterruptTest, StopKeepsCompletedFilesAndDropsThePartialOne) {
    StartHeldBurn();
    manager->Stop();
    const long long ms = ReleaseAndTimeToFinish();
    EXPECT_LT(ms, 1000) << "Stop took " << ms << " ms";
    EXPECT_EQ(events.Outline(), "1 7(1) 5(1,9) 6(1)");
    // More than one and a half files were copied when the stop came: at
    // least one complete file stays, the one in progress does not.
    const auto copies = CompleteCopies();
    EXPECT_GE(copies.size(), 1u) << Listing(Tree(disc.Path()));
    EXPECT_LT(copies.size(), static_cast<size_t>(kFiles)) << Listing(Tree(disc.Path()));
}

TEST_F(InterruptTest, CancelDuringVerificationRemovesTheCopies) {
    MakeFile(disc / "earlier.txt", 100, 9);
    ASSERT_EQ(manager->SetDrive((disc.Path() + "?dvd").c_str()), CD::eOK);
    events.HoldAt(
        [](const Event& e) { return e.id == 4 && e.kind == CD::eProgressVerify && e.done > 1024; });
    manager->StartBurn(s_source->Path().c_str(), true);
    ASSERT_TRUE(events.WaitHeld()) << events.Trace();
    EXPECT_EQ(CompleteCopies().size(), static_cast<size_t>(kFiles));
    manager->Cancel();
    ReleaseAndTimeToFinish();
    EXPECT_EQ(events.Outline(), "1 7(1) 5(1,8) 6(1)");
    EXPECT_EQ(Listing(Tree(disc.Path())), "earlier.txt=100 ");
}

TEST_F(InterruptTest, AJobWhileAnotherRunsIsRefusedOnTheCallersThread) {
    StartHeldBurn();
    const auto before = events.Events().size();
    manager->StartBurn(BigFile(0).c_str(), false);
    manager->StartErase(true);
    manager->StartValidateDrive();
    manager->StartGetDriveAvailSpace();
    EXPECT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eDriveBusy);
    auto all = events.Events();
    ASSERT_EQ(all.size(), before + 4) << events.Trace();
    // Posted before each Start returned, on this thread.
    std::string refusals;
    for (size_t i = before; i < all.size(); ++i) {
        refusals += Format(all[i]) + " ";
        EXPECT_EQ(all[i].thread, std::this_thread::get_id()) << Format(all[i]);
    }
    // The space answer is the free space of the moment: the DVD less what
    // the held burn has completed so far (and its partial file).
    EXPECT_EQ(refusals.substr(0, refusals.find(" 3(")), "5(1,4) 5(2,4) 2(4)");
    const uintptr_t freeKiB = all.back().value;
    EXPECT_LT(freeKiB, 4700000000ull / 1024 - KiBUp(kFileSize)) << refusals;
    EXPECT_GT(freeKiB, 4700000000ull / 1024 - KiBUp(kFileSize * kFiles) - 1) << refusals;

    manager->Cancel();
    ReleaseAndTimeToFinish();
    // The running job's own 1 and 6 only.
    std::string outline = events.Outline();
    EXPECT_EQ(outline.substr(0, 2), "1 ") << outline;
    const std::string end = "7(1) 5(1,8) 6(1)";
    EXPECT_EQ(outline.substr(outline.size() - std::min(outline.size(), end.size())), end)
        << outline;
    all = events.Events();
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [](const Event& e) { return e.id == 1 || e.id == 6; }),
              2)
        << outline;
}

TEST_F(InterruptTest, DestroyingTheManagerMidBurnCancelsAndWaits) {
    StartHeldBurn();
    std::thread destroyer([this] { manager.reset(); });
    // The destructor asks for the cancel, then waits for the held worker.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    events.Open();
    destroyer.join();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_LT(ms, 1000) << "destruction took " << ms << " ms after the worker was let go";
    EXPECT_EQ(events.Outline(), "1 7(1) 5(1,8) 6(1)");
    EXPECT_EQ(Listing(Tree(disc.Path())), "earlier.txt=100 ");
}

TEST_F(RecorderTest, DestroyingAnIdleOrUnusedManagerReturns) {
    auto unused = std::make_unique<CDExpManager>();
    unused.reset();
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    manager->StartValidateDrive();
    ASSERT_TRUE(events.WaitFinished(4)) << events.Trace();
    const auto start = Clock::now();
    manager.reset();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_LT(ms, 1000) << ms;
    EXPECT_EQ(events.Outline(), "1 2(0) 6(4)");
}

TEST_F(RecorderTest, AnObserverMayStartTheNextJobFromTheResult) {
    MakeFile(source / "a.bin", 300000, 1);
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    CDExpManager* m = manager.get();
    bool started = false;
    events.OnEach([&](const Event& e) {
        if (e.id == 5 && e.first == 1 && !started) {
            started = true;
            m->StartErase(false);
        }
    });
    manager->StartBurn((source / "a.bin").c_str(), false);
    ASSERT_TRUE(events.WaitFinished(2)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 5(1,0) 6(1) 1 5(2,0) 6(2)");
    EXPECT_EQ(Listing(Tree(disc.Path())), "(empty)");
}

TEST_F(RecorderTest, CancelAndStopWithoutAJobDoNothing) {
    manager->Cancel();
    manager->Stop();
    MakeFile(source / "a.bin", 5000, 1);
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    manager->StartBurn((source / "a.bin").c_str(), false);
    ASSERT_TRUE(events.WaitFinished(1)) << events.Trace();
    EXPECT_EQ(events.Outline(), "1 5(1,0) 6(1)");
    // A late Cancel after the job ended changes nothing on the disc.
    manager->Cancel();
    EXPECT_EQ(Listing(Tree(disc.Path())), "a.bin=5000 ");
}

TEST_F(RecorderTest, EveryProgressAndResultIsItsOwnRecord) {
    // An observer that keeps the records alive (and frees them later) must
    // see a distinct object in every event 4 and 5.
    struct Keeper : Observer {
        std::mutex mutex;
        std::condition_variable finished;
        std::vector<std::pair<unsigned, void*>> records;
        bool done = false;
        void OnEvent(Observable*, unsigned int id, void* data) override {
            std::lock_guard<std::mutex> lock(mutex);
            if (id == 4 || id == 5)
                records.emplace_back(id, data);
            if (id == 6) {
                done = true;
                finished.notify_all();
            }
        }
    } keeper;
    manager->RemoveObserver(&events);
    manager->AddObserver(&keeper);
    MakeFile(source / "a.bin", 2000000, 1);
    ASSERT_EQ(manager->SetDrive(disc.Path().c_str()), CD::eOK);
    manager->StartBurn((source / "a.bin").c_str(), true);
    std::unique_lock<std::mutex> lock(keeper.mutex);
    ASSERT_TRUE(
        keeper.finished.wait_for(lock, std::chrono::seconds(20), [&] { return keeper.done; }));
    std::vector<void*> sorted;
    for (const auto& r : keeper.records)
        sorted.push_back(r.second);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_GE(sorted.size(), 5u) << "burn and verify progress plus the result";
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
        << "a record was posted twice";
    EXPECT_EQ(keeper.records.back().first, 5u);
    for (const auto& r : keeper.records) {
        if (r.first == 4)
            delete static_cast<CDProgress*>(r.second);
        else
            delete static_cast<CDResult*>(r.second);
    }
}

}  // namespace
