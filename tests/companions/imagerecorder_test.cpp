// The image recorder through CDExpManager: "<file>.iso" drives, their space
// in whole sectors, images that readers which are not ours (xorriso, 7-Zip)
// list and extract equal to the source, and the media rules.
#include "cdexpmanager.h"
#include "cdprogress.h"
#include "cdresult.h"

#include <testsupport.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

using vesko::test::Exists;
using vesko::test::ScratchDir;
using vesko::test::WriteFileText;

namespace {

constexpr unsigned long long kSector = 2048;

// Writes down each event as text ("1 4 5(1,0) 6(1)", runs of 4 as one) and
// the progress kinds seen.
class EventLog : public Observer {
  public:
    void OnEvent(Observable*, unsigned int id, void* data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string text = std::to_string(id);
        if (id == 4) {
            const auto* progress = static_cast<const CDProgress*>(data);
            m_kinds += std::to_string(progress->GetKind());
            m_lastDone = progress->GetValue1();
            m_lastTotal = progress->GetValue2();
            if (m_lastWasProgress)
                return;
        } else if (id == 5) {
            const auto* result = static_cast<const CDResult*>(data);
            text += "(" + std::to_string(result->GetFirst()) + "," +
                    std::to_string(result->GetSecond()) + ")";
        } else if (id != 1) {
            text += "(" + std::to_string(reinterpret_cast<uintptr_t>(data)) + ")";
        }
        m_lastWasProgress = id == 4;
        m_text += (m_text.empty() ? "" : " ") + text;
        if (id == 6)
            ++m_finished;
        m_changed.notify_all();
    }
    // The events up to the job's 6, then forgets them.
    std::string Take() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_finished > 0; });
        std::string text = m_finished ? m_text : m_text + " (no 6 in time)";
        m_text.clear();
        m_finished = 0;
        m_lastWasProgress = false;
        return text;
    }
    std::string TakeKinds() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string kinds;
        for (char c : m_kinds)
            if (kinds.empty() || kinds.back() != c)
                kinds += c;
        m_kinds.clear();
        return kinds;
    }
    bool EndedAtTotal() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastDone == m_lastTotal;
    }

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_text, m_kinds;
    bool m_lastWasProgress = false;
    int m_finished = 0;
    unsigned long m_lastDone = 0, m_lastTotal = 0;
};

unsigned long long FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info))
        return ~0ull;
    return (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// Names in folder, sorted, one per line ("" for an empty folder).
std::string Names(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (std::string(fd.cFileName) != "." && std::string(fd.cFileName) != "..")
                names.push_back(fd.cFileName);
        } while (FindNextFileA(find, &fd));
        FindClose(find);
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (const auto& n : names)
        all += n + "\n";
    return all;
}

class ImageRecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        manager.AddObserver(&log);
        // A study: nested and empty folders, an empty file, a name Joliet
        // keeps in Unicode.
        ASSERT_TRUE(CreateDirectoryA((source / "SERIES1").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA((source / "EMPTY").c_str(), nullptr));
        ASSERT_TRUE(WriteFileText(source / "DICOMDIR", std::string(3000, 'd')));
        ASSERT_TRUE(WriteFileText(source / "SERIES1\\IM1", std::string(700001, 'i')));
        ASSERT_TRUE(WriteFileText(source / "SERIES1\\empty.txt", ""));
        const std::wstring wide(L"\\Befund \u00dcbersicht \u65e5\u672c.txt");
        std::wstring folder(source.Path().begin(), source.Path().end());
        vesko::UniqueHandle file(CreateFileW((folder + wide).c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_NEW, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.Get(), "report", 6, &written, nullptr));
    }
    void TearDown() override { manager.RemoveObserver(&log); }

    std::string Burn(const std::string& drive, const std::string& from, bool verify = false) {
        EXPECT_EQ(manager.SetDrive(drive.c_str()), CD::eOK) << drive;
        manager.StartBurn(from.c_str(), verify);
        return log.Take();
    }
    std::string Erase(bool full) {
        manager.StartErase(full);
        return log.Take();
    }
    // xorriso and 7-Zip extract the image; each extraction equals the source.
    std::string CheckedByOtherReaders(const std::string& image, bool udf) {
        const std::string script =
            "rm -rf x1 x2 && mkdir x1 x2\n"
            "xorriso -local_charset UTF-8 -osirrox on -indev '" +
            vesko::test::UnixName(image) +
            "' -extract / x1 >/dev/null 2>&1 || { echo xorriso failed; exit 1; }\n"
            "chmod -R u+w x1; diff -r '" +
            vesko::test::UnixName(source.Path()) + "' x1 || exit 2\n" +
            (udf ? "7zz x -y -tudf -ox2 '" + vesko::test::UnixName(image) +
                       "' >/dev/null || { echo 7zz failed; exit 3; }\n"
                       "chmod -R u+w x2; diff -r '" +
                       vesko::test::UnixName(source.Path()) + "' x2 || exit 4\n"
                 : std::string()) +
            "rm -rf x1 x2\n";
        std::string output;
        const int rc = vesko::test::RunOnHost(work.Path(), script, output);
        return rc == 0 ? "" : "rc " + std::to_string(rc) + ": " + output;
    }

    ScratchDir source{"img-src"}, discs{"img-disc"}, work{"img-work"};
    CDExpManager manager;
    EventLog log;
};

TEST_F(ImageRecorderTest, DriveTextAndSpaceInWholeSectors) {
    const std::string image = discs / "study.iso";
    const struct {
        std::string text;
        CD::EError set, validate;
        unsigned long long capacitySectors;  // 0: no space answer expected
    } rows[] = {
        {image, CD::eOK, CD::eOK, 360000},
        {image + "?cd-r", CD::eOK, CD::eOK, 360000},
        {image + "?DVD", CD::eOK, CD::eOK, 2295104},
        {image + "?dvd-dl", CD::eOK, CD::eOK, 4171712},
        {image + "?bd-r", CD::eOK, CD::eOK, 12219392},
        {image + "?size=10002432", CD::eOK, CD::eOK, 4884},
        {discs / "STUDY.ISO", CD::eOK, CD::eOK, 360000},
        // A trailing separator names a folder of that name: the virtual
        // recorder's, missing here.
        {image + "\\", CD::eOK, CD::eInvalidDrive, 0},
        {discs / "missing\\study.iso", CD::eOK, CD::eInvalidDrive, 0},
        {discs / "folder.iso", CD::eOK, CD::eInvalidDrive, 0},
    };
    ASSERT_TRUE(CreateDirectoryA((discs / "folder.iso").c_str(), nullptr));
    unsigned long long overheadCd = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        manager.SetDrive(image.c_str());  // a known selection before each row
        EXPECT_EQ(manager.SetDrive(r.text.c_str()), r.set);
        EXPECT_EQ(manager.ValidateDrive(), r.validate);
        if (!r.capacitySectors)
            continue;
        unsigned long long space = 0;
        ASSERT_EQ(manager.GetDriveAvailSpace(space), CD::eOK);
        // Whole sectors, less the file systems' own: a few dozen sectors on
        // a CD, more with the UDF bridge of larger media.
        EXPECT_EQ(space % kSector, 0u) << space;
        const unsigned long long overhead = r.capacitySectors - space / kSector;
        EXPECT_GT(overhead, 15u) << space;
        EXPECT_LT(overhead, 1000u) << space;
        if (r.capacitySectors == 360000) {
            overheadCd = overhead;
        } else if (r.capacitySectors > 360000) {
            EXPECT_GT(overhead, overheadCd) << "UDF adds its own structures";
        }
        manager.StartGetDriveAvailSpace();
        EXPECT_EQ(log.Take(), "1 3(" + std::to_string(space / 1024) + ") 6(3)");
    }
}

TEST_F(ImageRecorderTest, BurnWritesAnImageOtherReadersExtractEqualToTheSource) {
    const struct {
        const char* option;
        bool verify, udf;
        const char* kinds;  // progress kinds, in order
    } rows[] = {
        {"?cd-rw", false, false, "1"},
        {"?cd-rw", true, false, "12"},
        {"?dvd", true, true, "12"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.option) + (r.verify ? " verify" : ""));
        const std::string image = discs / "study.iso";
        DeleteFileA(image.c_str());
        EXPECT_EQ(Burn(image + r.option, source.Path(), r.verify), "1 4 5(1,0) 6(1)");
        EXPECT_EQ(log.TakeKinds(), r.kinds);
        EXPECT_TRUE(log.EndedAtTotal());
        EXPECT_EQ(FileSize(image) % kSector, 0u);
        EXPECT_EQ(CheckedByOtherReaders(image, r.udf), "");
        // Nothing beside the image: the temporary file is gone.
        EXPECT_EQ(Names(discs.Path()), "study.iso\n");
        unsigned long long space = 1;
        EXPECT_EQ(manager.GetDriveAvailSpace(space), CD::eOK);
        EXPECT_EQ(space, 0u) << "a written disc is closed";
    }
}

TEST_F(ImageRecorderTest, ATreeThatExactlyFillsTheDiscFitsAndOneByteMoreDoesNot) {
    // The image's size on a roomy disc tells how many sectors the tree needs.
    const std::string image = discs / "fit.iso";
    ASSERT_EQ(Burn(image + "?size=104857600", source.Path()), "1 4 5(1,0) 6(1)");
    const unsigned long long sectors = FileSize(image) / kSector;
    ASSERT_GT(sectors, 16u);
    const struct {
        unsigned long long capacity;
        const char* events;
        bool written;
    } rows[] = {
        {sectors * kSector, "1 4 5(1,0) 6(1)", true},
        {sectors * kSector + kSector - 1, "1 4 5(1,0) 6(1)", true},
        {sectors * kSector - 1, "1 5(1,5) 6(1)", false},
        {(sectors - 1) * kSector, "1 5(1,5) 6(1)", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.capacity);
        ASSERT_TRUE(DeleteFileA(image.c_str()) || !Exists(image)) << GetLastError();
        EXPECT_EQ(Burn(image + "?size=" + std::to_string(r.capacity), source.Path()), r.events);
        EXPECT_EQ(Exists(image), r.written);
        EXPECT_EQ(Names(discs.Path()), r.written ? "fit.iso\n" : "");
    }
    // One byte more in the tree than the exactly-fitting disc holds: the file
    // grows into one sector more.
    ASSERT_TRUE(
        WriteFileText(source / "DICOMDIR",
                      std::string(3000, 'd') + std::string(kSector - 3000 % kSector + 1, 'x')));
    ASSERT_TRUE(DeleteFileA(image.c_str()) || !Exists(image));
    EXPECT_EQ(Burn(image + "?size=" + std::to_string(sectors * kSector), source.Path()),
              "1 5(1,5) 6(1)");
    EXPECT_FALSE(Exists(image));
}

TEST_F(ImageRecorderTest, MediaRulesForWriteOnceAndRewritableImages) {
    const std::string image = discs / "rules.iso";
    // "b": burn, "e": full erase, "q": quick erase; then the expected events
    // and whether an image is there afterwards.
    const struct {
        const char* option;
        const char* jobs;
        const char* events;
        bool image;
    } rows[] = {
        {"?cd-r", "b", "1 4 5(1,0) 6(1)", true},
        {"?cd-r", "bb", "1 4 5(1,0) 6(1)|1 5(1,12) 6(1)", true},
        {"?dvd-r", "be", "1 4 5(1,0) 6(1)|1 5(2,10) 6(2)", true},
        {"?dvd-r", "q", "1 5(2,10) 6(2)", false},
        {"?cd-rw", "bb", "1 4 5(1,0) 6(1)|1 5(1,12) 6(1)", true},
        {"?cd-rw", "beb", "1 4 5(1,0) 6(1)|1 4 5(2,0) 6(2)|1 4 5(1,0) 6(1)", true},
        {"?bd-re", "bq", "1 4 5(1,0) 6(1)|1 5(2,0) 6(2)", false},
        {"?cd-rw", "e", "1 4 5(2,0) 6(2)", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.option) + " " + r.jobs);
        DeleteFileA(image.c_str());
        ASSERT_EQ(manager.SetDrive((image + r.option).c_str()), CD::eOK);
        std::string seen;
        for (const char* job = r.jobs; *job; ++job) {
            if (*job == 'b')
                manager.StartBurn(source.Path().c_str(), false);
            else
                manager.StartErase(*job == 'e');
            seen += (seen.empty() ? "" : "|") + log.Take();
        }
        EXPECT_EQ(seen, r.events);
        EXPECT_EQ(Exists(image), r.image);
        if (r.image) {
            EXPECT_EQ(CheckedByOtherReaders(image, false), "");
        }
    }
}

TEST_F(ImageRecorderTest, CancelAndStopLeaveABlankDiscAndNoTemporaryFile) {
    const std::string image = discs / "slow.iso";
    ASSERT_TRUE(WriteFileText(source / "big.bin", std::string(4 * 1024 * 1024, 'b')));
    const struct {
        bool cancel;
        const char* events;
    } rows[] = {{true, "1 4 7(1) 5(1,8) 6(1)"}, {false, "1 4 7(1) 5(1,9) 6(1)"}};
    for (const auto& r : rows) {
        // 256 KiB/s: the burn surely still runs when the request comes.
        ASSERT_EQ(manager.SetDrive((image + "?cd-r&speed=256").c_str()), CD::eOK);
        manager.StartBurn(source.Path().c_str(), false);
        Sleep(300);
        if (r.cancel)
            manager.Cancel();
        else
            manager.Stop();
        EXPECT_EQ(log.Take(), r.events);
        EXPECT_EQ(Names(discs.Path()), "");
        // Still blank: a write-once disc takes its one burn afterwards.
        unsigned long long space = 0;
        EXPECT_EQ(manager.GetDriveAvailSpace(space), CD::eOK);
        EXPECT_GT(space, 0u);
    }
}

TEST_F(ImageRecorderTest, RefusesImagesInsideTheirSourceAndImagesThatAreLinks) {
    // The image would be part of what it is made of.
    EXPECT_EQ(Burn(source / "self.iso", source.Path()), "1 5(1,10) 6(1)");
    EXPECT_FALSE(Exists(source / "self.iso"));
    // A link named like an image leads to a file elsewhere: never a disc, so
    // neither burnt over nor erased.
    ScratchDir outside("img-outside");
    ASSERT_TRUE(WriteFileText(outside / "victim.bin", "keep me"));
    // Wine shows a host link to a file as the file itself: HostLink cannot
    // tell it made one, the recorder has to.
    vesko::test::HostLink(discs / "link.iso", outside / "victim.bin");
    ASSERT_TRUE(Exists(discs / "link.iso"));
    ASSERT_EQ(manager.SetDrive((discs / "link.iso?cd-rw").c_str()), CD::eOK);
    EXPECT_EQ(manager.ValidateDrive(), CD::eInvalidDrive);
    EXPECT_EQ(Erase(true), "1 5(2,3) 6(2)");
    manager.StartBurn(source.Path().c_str(), false);
    EXPECT_EQ(log.Take(), "1 5(1,3) 6(1)");
    EXPECT_EQ(vesko::test::ReadFileText(outside / "victim.bin"), "keep me");
    vesko::test::HostLink(discs / "link.iso");
}

}  // namespace
