// Imapi2Recorder against the IMAPI2 double: the double stands in for the
// disc burner only (registered under IMAPI2's class ids for each test);
// the image, the stream, the events and the results are the product's own.
// The double's scenario and what it saw live in the prefix's registry.
#include "cdexpmanager.h"
#include "cdprogress.h"
#include "cdresult.h"
#include "discimagecomstream.h"
#include "discimage.h"
#include "imapi2recorder.h"
#include "imapi2registration.h"
#include "recorderjob.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vesko/raii.h>

using vesko::test::ScratchDir;

namespace {

const wchar_t kScenario[] = L"Software\\VeskoLib\\Tests\\Imapi2Double";
const wchar_t kSeen[] = L"Software\\VeskoLib\\Tests\\Imapi2Double\\Seen";

// IMAPI_MEDIA_PHYSICAL_TYPE values the tables use.
constexpr DWORD kCdR = 2, kCdRw = 3, kDvdPlusR = 6, kDvdPlusRw = 7;

void SetText(const wchar_t* name, const std::wstring& value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kScenario, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}
void SetNumber(const wchar_t* name, DWORD value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kScenario, name, REG_DWORD, &value, sizeof(value));
}
DWORD Number(const wchar_t* key, const wchar_t* name) {
    DWORD value = 0, size = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size))
        return 0;
    return value;
}
DWORD Seen(const wchar_t* name) {
    return Number(kSeen, name);
}
unsigned long long SeenBytes(const wchar_t* name) {
    unsigned long long value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, kSeen, name, RRF_RT_REG_QWORD, nullptr, &value, &size))
        return 0;
    return value;
}
std::wstring Text(const wchar_t* key, const wchar_t* name) {
    wchar_t buffer[512];
    DWORD size = sizeof(buffer);
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, buffer, &size))
        return L"";
    return buffer;
}
std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// The progress a job posted, and what it does when progress arrives.
class ProgressLog : public CDNotifiable {
  public:
    struct Post {
        CD::EProgressType kind;
        unsigned long done, total;
    };
    void Notify(unsigned int eventId, void* data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(eventId);
        if (eventId != 4)
            return;
        const auto* progress = static_cast<CDProgress*>(data);
        m_posts.push_back({progress->GetKind(), progress->GetValue1(), progress->GetValue2()});
        if (GetCurrentThreadId() != m_thread)
            ++m_elsewhere;
        if (onProgress)
            onProgress(m_posts.back());
    }
    // Each phase as "kind:first..last/total", checking that values never
    // decrease and the total stays; problems are reported in the text.
    std::string Phases() const {
        std::string text;
        for (size_t i = 0; i < m_posts.size(); ++i) {
            const Post& post = m_posts[i];
            const bool first = i == 0 || m_posts[i - 1].kind != post.kind;
            if (!first) {
                const Post& before = m_posts[i - 1];
                if (post.done < before.done || post.total != before.total)
                    text += "(went " + std::to_string(before.done) + "/" +
                            std::to_string(before.total) + " -> " + std::to_string(post.done) +
                            "/" + std::to_string(post.total) + ")";
            }
            const bool last = i + 1 == m_posts.size() || m_posts[i + 1].kind != post.kind;
            if (first)
                text += std::string(text.empty() ? "" : " ") + Name(post.kind) + ":" +
                        std::to_string(post.done);
            if (last)
                text += ".." + std::to_string(post.done) + "/" + std::to_string(post.total);
        }
        return text;
    }
    size_t Count() const { return m_posts.size(); }
    // Posts that came on another thread than the job's (the log's maker's).
    int Elsewhere() const { return m_elsewhere; }
    const std::vector<Post>& Posts() const { return m_posts; }
    std::function<void(const Post&)> onProgress;

  private:
    static const char* Name(CD::EProgressType kind) {
        switch (kind) {
            case CD::eProgressBurn:
                return "burn";
            case CD::eProgressVerify:
                return "verify";
            case CD::eProgressErase:
                return "erase";
            default:
                return "none";
        }
    }
    mutable std::mutex m_mutex;
    DWORD m_thread = GetCurrentThreadId();
    int m_elsewhere = 0;
    std::vector<unsigned int> m_events;
    std::vector<Post> m_posts;
};

// Each test: the double registered, a scenario of one recorder at R:, a
// source tree and a dump file in a scratch folder.
class Imapi2RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kScenario);
        ASSERT_TRUE(registration.ok) << "the IMAPI2 double could not be registered";
        SetText(L"Recorders", L"R:");
        SetText(L"Medium", L"blank");
        SetNumber(L"MediaType", kCdR);
        SetNumber(L"TotalSectors", 359846);
        SetNumber(L"FreeSectors", 359846);
        SetNumber(L"SectorsPerUpdate", 16);
        dump = scratch / "dump.iso";
        SetText(L"Dump", std::wstring(dump.begin(), dump.end()));
        source = scratch / "source";
        CreateDirectoryA(source.c_str(), nullptr);
        ASSERT_TRUE(vesko::test::MakeTree(source, "a.txt|sub\\b.txt|sub\\deeper\\c.txt"));
        // Data enough for many updates: 600 KiB in one file.
        std::string big(600 * 1024, '\0');
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
        ASSERT_TRUE(vesko::test::WriteFileText(source + "\\sub\\big.bin", big));
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kScenario); }

    std::unique_ptr<Recorder> Open(const char* text = "R:") {
        CDExpManager::Drive drive;
        drive.text = text;
        drive.folder = text;
        return Imapi2Recorder::ForDrive(drive);
    }

    ScratchDir scratch{"imapi2"};
    Imapi2Registration registration{vesko::test::ProgramFolder() + "\\imapi2double.dll"};
    std::string dump, source;
};

TEST_F(Imapi2RecorderTest, TheDoubleAnswersUnderImapi2sClassIds) {
    vesko::ComApartment apartment;
    for (const auto& id : Imapi2Registration::ClassIds()) {
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromString(id.c_str(), &clsid), S_OK);
        vesko::ComPtr<IUnknown> object;
        const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                            reinterpret_cast<void**>(object.GetAddressOf()));
        EXPECT_EQ(hr, S_OK) << Narrow(id) << ": " << vesko::test::Describe(static_cast<DWORD>(hr));
    }
}

TEST_F(Imapi2RecorderTest, TheRegistrationPutsBackWhatWasThere) {
    // What this test's own registration wrote stands for a registration
    // that was there before a second one.
    const std::wstring key = L"Software\\Classes\\CLSID\\" + Imapi2Registration::ClassIds()[0];
    auto snapshot = [&] {
        Imapi2Registration::Tree tree;
        vesko::UniqueHKey handle;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, handle.Receive()) ==
            ERROR_SUCCESS)
            Imapi2Registration::Read(handle.Get(), tree);
        std::string text;
        std::function<void(const Imapi2Registration::Tree&, const std::string&)> walk =
            [&](const Imapi2Registration::Tree& t, const std::string& at) {
                for (const auto& v : t.values)
                    text +=
                        at + "=" + Narrow(v.name) + ":" + std::to_string(v.type) + ":" +
                        (v.type == REG_SZ
                             ? Narrow(std::wstring(reinterpret_cast<const wchar_t*>(v.data.data()),
                                                   v.data.size() / sizeof(wchar_t)))
                             : std::string(v.data.begin(), v.data.end())) +
                        ";";
                for (const auto& [name, sub] : t.keys)
                    walk(sub, at + "\\" + Narrow(name));
            };
        walk(tree, "");
        return text;
    };
    const std::string before = snapshot();
    ASSERT_NE(before.find("imapi2double.dll"), std::string::npos) << before;
    {
        Imapi2Registration other("C:\\elsewhere\\other.dll");
        ASSERT_TRUE(other.ok);
        EXPECT_NE(snapshot().find("other.dll"), std::string::npos) << snapshot();
    }
    EXPECT_EQ(snapshot(), before);
}

TEST_F(Imapi2RecorderTest, TheImageStreamIsAReadOnlyIStream) {
    std::unique_ptr<DiscImage> image;
    ASSERT_EQ(DiscImage::Create(std::wstring(source.begin(), source.end()), {}, image), CD::eOK);
    const unsigned long long size = image->ByteCount();
    auto stream = DiscImageComStream::Create(std::move(image), L"source");
    STATSTG stat{};
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, size);
    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
    EXPECT_EQ(stat.pwcsName ? Narrow(stat.pwcsName) : "", "source");
    CoTaskMemFree(stat.pwcsName);
    // Seeks from each origin, as "where it lands".
    const struct {
        const char* name;
        LONGLONG move;
        DWORD origin;
        HRESULT hr;
        unsigned long long at;
    } seeks[] = {
        {"end", 0, STREAM_SEEK_END, S_OK, size},
        {"start", 0, STREAM_SEEK_SET, S_OK, 0},
        {"forward", 4096, STREAM_SEEK_CUR, S_OK, 4096},
        {"back from the end", -2048, STREAM_SEEK_END, S_OK, size - 2048},
        {"before the start", -1, STREAM_SEEK_SET, STG_E_INVALIDFUNCTION, size - 2048},
    };
    for (const auto& s : seeks) {
        LARGE_INTEGER move;
        move.QuadPart = s.move;
        ULARGE_INTEGER at{};
        EXPECT_EQ(stream->Seek(move, s.origin, &at), s.hr) << s.name;
        LARGE_INTEGER none{};
        stream->Seek(none, STREAM_SEEK_CUR, &at);
        EXPECT_EQ(at.QuadPart, s.at) << s.name;
    }
    // The last sector, then nothing: S_FALSE for a short read.
    std::vector<char> buffer(8192);
    ULONG read = 0;
    EXPECT_EQ(stream->Read(buffer.data(), 8192, &read), S_FALSE);
    EXPECT_EQ(read, 2048u);
    EXPECT_EQ(stream->Read(buffer.data(), 8192, &read), S_FALSE);
    EXPECT_EQ(read, 0u);
    ULONG written = 7;
    EXPECT_EQ(stream->Write(buffer.data(), 1, &written), STG_E_ACCESSDENIED);
    EXPECT_EQ(written, 0u);
    // The whole stream reads back as many bytes as Stat promised.
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    unsigned long long total = 0;
    while (SUCCEEDED(stream->Read(buffer.data(), 8192, &read)) && read)
        total += read;
    EXPECT_EQ(total, size);
    // Reference counted; IStream and its bases only.
    vesko::ComPtr<ISequentialStream> sequential;
    EXPECT_EQ(stream.As(&sequential), S_OK);
    vesko::ComPtr<IDispatch> dispatch;
    EXPECT_EQ(stream.As(&dispatch), E_NOINTERFACE);
    EXPECT_EQ(stream->AddRef(), 3u);
    EXPECT_EQ(stream->Release(), 2u);
}

TEST_F(Imapi2RecorderTest, ADriveLetterWithARecorderBehindItGetsOne) {
    SetText(L"Recorders", L"Q:|R:");
    const struct {
        const char* text;
        bool found;
    } cases[] = {
        {"R:", true},        {"r:", true}, {"R:\\", true},      {"Q:", true},      {"S:", false},
        {"R:\\disc", false}, {"R", false}, {"C:\\temp", false}, {"R:?dvd", false}, {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Open(c.text) != nullptr, c.found) << "drive text \"" << c.text << "\"";
}

TEST_F(Imapi2RecorderTest, WithoutImapi2NoDriveLetterGetsARecorder) {
    // The registration of this test is taken away for the check.
    for (const auto& id : Imapi2Registration::ClassIds())
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\CLSID\\" + id).c_str());
    EXPECT_EQ(Open("R:"), nullptr);
}

TEST_F(Imapi2RecorderTest, EachCallLeavesTheThreadsComStateAsItWas) {
    auto recorder = Open();
    ASSERT_NE(recorder, nullptr);
    // A thread in no apartment: still in none afterwards (a first
    // CoInitializeEx answers S_OK, not S_FALSE).
    EXPECT_EQ(recorder->Validate(), CD::eOK);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_EQ(hr, S_OK) << "the thread was left in an apartment";
    if (SUCCEEDED(hr))
        CoUninitialize();
    // A single-threaded apartment stays one.
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(recorder->Validate(), CD::eOK);
    hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(hr, S_FALSE) << "the thread's apartment changed";
    if (SUCCEEDED(hr))
        CoUninitialize();
    CoUninitialize();
}

TEST_F(Imapi2RecorderTest, ValidateAndFreeSpaceReadTheMedium) {
    const unsigned long long cdOverhead = DiscImage::EmptySectorCount(false);
    const unsigned long long dvdOverhead = DiscImage::EmptySectorCount(true);
    const struct {
        const char* name;
        const wchar_t* medium;
        DWORD type;
        DWORD free;
        const wchar_t* busy;
        CD::EError validate;
        unsigned long long bytes;
    } cases[] = {
        {"blank CD-R", L"blank", kCdR, 359846, L"", CD::eOK, (359846 - cdOverhead) * 2048},
        {"blank DVD+R (UDF bridge)", L"blank", kDvdPlusR, 2295104, L"", CD::eOK,
         (2295104 - dvdOverhead) * 2048},
        {"nearly full", L"blank", kCdR, 3, L"", CD::eOK, 0},
        {"no medium", L"none", kCdR, 359846, L"", CD::eNoMedia, 0},
        // A disc with a session is valid but has no room (a burn refuses it).
        {"closed CD-R", L"closed", kCdR, 359846, L"", CD::eOK, 0},
        {"closed CD-RW", L"closed", kCdRw, 359846, L"", CD::eOK, 0},
        {"appendable CD-R", L"appendable", kCdR, 100000, L"", CD::eOK, 0},
        {"held by another program", L"blank", kCdR, 359846, L"Other Burner", CD::eDriveBusy, 0},
    };
    for (const auto& c : cases) {
        SetText(L"Medium", c.medium);
        SetNumber(L"MediaType", c.type);
        SetNumber(L"FreeSectors", c.free);
        SetText(L"Busy", c.busy);
        auto recorder = Open();
        ASSERT_NE(recorder, nullptr) << c.name;
        EXPECT_EQ(recorder->Validate(), c.validate) << c.name;
        unsigned long long free = 12345;
        EXPECT_EQ(recorder->FreeBytes(free), c.validate) << c.name;
        EXPECT_EQ(free, c.bytes) << c.name;
    }
}

// One burn of the table: its result, progress and what the double saw.
struct BurnRun {
    CD::EError result;
    std::string phases;
    unsigned long streamKiB;
    int elsewhere;  // progress posted off the job's thread
    DWORD milliseconds;
};

class Imapi2BurnTest : public Imapi2RecorderTest {
  protected:
    BurnRun Burn(bool verify, CDExpManager::Request interruptAt = CDExpManager::eNone,
                 DWORD interruptAfterMs = 0) {
        auto recorder = Open();
        EXPECT_NE(recorder, nullptr);
        if (!recorder)
            return {CD::eInvalidDrive, "", 0};
        ProgressLog log;
        std::atomic<int> request{CDExpManager::eNone};
        // The host's Cancel or Stop arrives once some data is on the disc.
        if (interruptAt != CDExpManager::eNone)
            log.onProgress = [&](const ProgressLog::Post& post) {
                if (post.done > 0)
                    request = interruptAt;
            };
        // Or after a while, whatever the drive has reported.
        std::thread late;
        if (interruptAfterMs)
            late = std::thread([&] {
                Sleep(interruptAfterMs);
                request = CDExpManager::eCancelRequest;
            });
        RecorderJob job(log, request, 0);
        const ULONGLONG start = GetTickCount64();
        const CD::EError result = recorder->Burn(source, verify, job);
        const auto took = static_cast<DWORD>(GetTickCount64() - start);
        if (late.joinable())
            late.join();
        return {result, log.Phases(),
                static_cast<unsigned long>((SeenBytes(L"StreamBytes") + 1023) / 1024),
                log.Elsewhere(), took};
    }
};

TEST_F(Imapi2BurnTest, BurnOutcomes) {
    const struct {
        const char* name;
        const wchar_t* medium;
        DWORD type;
        DWORD free;
        const wchar_t* busy;
        DWORD failAt;
        bool verify;
        CDExpManager::Request interrupt;
        CD::EError result;
        bool written;   // the double received the stream
        bool complete;  // progress reached the stream's size
    } cases[] = {
        {"good burn", L"blank", kCdR, 359846, L"", 0xFFFFFFFF, false, CDExpManager::eNone, CD::eOK,
         true, true},
        {"burn with verify", L"blank", kCdR, 359846, L"", 0xFFFFFFFF, true, CDExpManager::eNone,
         CD::eOK, true, true},
        {"on a DVD+RW", L"overwrite", kDvdPlusRw, 2295104, L"", 0xFFFFFFFF, false,
         CDExpManager::eNone, CD::eOK, true, true},
        {"no medium", L"none", kCdR, 359846, L"", 0xFFFFFFFF, false, CDExpManager::eNone,
         CD::eNoMedia, false, false},
        {"closed write-once medium", L"closed", kCdR, 0, L"", 0xFFFFFFFF, false,
         CDExpManager::eNone, CD::eMediaNotBlank, false, false},
        {"recorder busy", L"blank", kCdR, 359846, L"Other Burner", 0xFFFFFFFF, false,
         CDExpManager::eNone, CD::eDriveBusy, false, false},
        {"failure midway", L"blank", kCdR, 359846, L"", 100, false, CDExpManager::eNone,
         CD::eWriteFailed, true, false},
        {"cancel midway", L"blank", kCdR, 359846, L"", 0xFFFFFFFF, false,
         CDExpManager::eCancelRequest, CD::eCancelled, true, false},
        {"stop midway", L"blank", kCdR, 359846, L"", 0xFFFFFFFF, false, CDExpManager::eStopRequest,
         CD::eStopped, true, false},
        {"appendable medium", L"appendable", kCdR, 100000, L"", 0xFFFFFFFF, false,
         CDExpManager::eNone, CD::eMediaNotBlank, false, false},
        {"too big for the medium", L"blank", kCdR, 200, L"", 0xFFFFFFFF, false, CDExpManager::eNone,
         CD::eNoSpace, false, false},
    };
    for (const auto& c : cases) {
        RegDeleteTreeW(HKEY_CURRENT_USER, kSeen);
        SetText(L"Medium", c.medium);
        SetNumber(L"MediaType", c.type);
        SetNumber(L"FreeSectors", c.free);
        SetText(L"Busy", c.busy);
        SetNumber(L"FailAtSector", c.failAt);
        const BurnRun run = Burn(c.verify, c.interrupt);
        EXPECT_EQ(run.result, c.result) << c.name << ": progress " << run.phases;
        EXPECT_EQ(run.elsewhere, 0) << c.name << ": progress posted off the job's thread";
        EXPECT_EQ(Seen(L"Writes"), c.written ? 1u : 0u) << c.name;
        // Refused before the drive is touched: it is never taken.
        if (!c.written) {
            EXPECT_EQ(Seen(L"Acquired"), 0u) << c.name;
        }
        // The recorder is given back on every path, and held while writing.
        EXPECT_EQ(Seen(L"Acquired"), Seen(L"Released")) << c.name;
        EXPECT_EQ(Text(kSeen, L"Owner"), L"") << c.name;
        if (c.written) {
            EXPECT_EQ(Narrow(Text(kSeen, L"OwnerAtWrite")), "VeskoLib") << c.name;
            EXPECT_EQ(Narrow(Text(kSeen, L"ClientName")), "VeskoLib") << c.name;
            EXPECT_EQ(Seen(L"ForceClose"), 1u) << c.name;
            EXPECT_EQ(Seen(L"VerificationLevel"), c.verify ? 2u : 0u) << c.name;
            EXPECT_GT(run.streamKiB, 600u) << c.name;
        }
        const std::string total = "/" + std::to_string(run.streamKiB);
        std::string expected;
        if (c.complete)
            expected = "burn:0.." + std::to_string(run.streamKiB) + total +
                       (c.verify ? " verify:0.." + std::to_string(run.streamKiB) + total : "");
        if (c.complete || !c.written) {
            EXPECT_EQ(run.phases, expected) << c.name;
        } else {  // ended midway: begun at 0, short of the whole stream
            EXPECT_TRUE(run.phases.rfind("burn:0..", 0) == 0 &&
                        run.phases.find(total) != std::string::npos &&
                        run.phases.find(".." + std::to_string(run.streamKiB) + total) ==
                            std::string::npos &&
                        run.phases.find("(went") == std::string::npos)
                << c.name << ": progress " << run.phases;
        }
        if (c.interrupt != CDExpManager::eNone) {
            EXPECT_EQ(Seen(L"Cancelled"), 1u) << c.name;
        }
    }
}

TEST_F(Imapi2BurnTest, ACancelReachesADriveBetweenItsReports) {
    // One report at the start, then 5 s of writing without another.
    SetNumber(L"SectorsPerUpdate", 100000);
    SetNumber(L"PaceMs", 5000);
    const BurnRun run = Burn(false, CDExpManager::eNone, 300);
    EXPECT_EQ(run.result, CD::eCancelled) << "progress " << run.phases;
    EXPECT_EQ(Seen(L"Cancelled"), 1u);
    EXPECT_LT(run.milliseconds, 3000u) << "the cancel waited for the drive's next report";
    EXPECT_EQ(run.elsewhere, 0);
}

TEST_F(Imapi2BurnTest, AWrittenWriteOnceDiscTakesNoSecondBurn) {
    ASSERT_EQ(Burn(false).result, CD::eOK);
    RegDeleteTreeW(HKEY_CURRENT_USER, kSeen);
    const BurnRun again = Burn(false);
    EXPECT_EQ(again.result, CD::eMediaNotBlank);
    EXPECT_EQ(Seen(L"Writes"), 0u);
}

TEST_F(Imapi2BurnTest, ABurnLeavesNoSourceFileOpen) {
    ASSERT_EQ(Burn(false).result, CD::eOK);
    // Each opened without sharing: fails while the burn's image still holds it.
    for (const char* name : {"a.txt", "sub\\b.txt", "sub\\deeper\\c.txt", "sub\\big.bin"}) {
        const std::string path = source + "\\" + name;
        vesko::UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_NE(file.Get(), INVALID_HANDLE_VALUE)
            << name << " still open after the burn: " << vesko::test::Describe(GetLastError());
    }
}

TEST_F(Imapi2BurnTest, TheWrittenStreamIsAnImageOfTheSource) {
    ASSERT_EQ(Burn(true).result, CD::eOK);
    // xorriso lists and extracts the dumped stream as an ISO 9660 image.
    std::string output;
    const int rc =
        vesko::test::RunOnHost(scratch.Path(),
                               "xorriso -abort_on FAILURE -indev dump.iso -find / -exec lsdl -- "
                               "-osirrox on -extract / extracted",
                               output);
    ASSERT_EQ(rc, 0) << output;
    const std::string out = scratch / "extracted";
    const std::string big = vesko::test::ReadFileText(source + "\\sub\\big.bin");
    EXPECT_EQ(
        vesko::test::TreeMismatch(
            out,
            "a.txt=" + vesko::test::ReadFileText(source + "\\a.txt") +
                "|sub\\b.txt=" + vesko::test::ReadFileText(source + "\\sub\\b.txt") +
                "|sub\\deeper\\c.txt=" + vesko::test::ReadFileText(source + "\\sub\\deeper\\c.txt"),
            ""),
        "");
    EXPECT_EQ(vesko::test::ReadFileText(out + "\\sub\\big.bin") == big, true)
        << "big.bin differs after extraction";
}

TEST_F(Imapi2RecorderTest, EraseOutcomes) {
    const struct {
        const char* name;
        const wchar_t* medium;
        DWORD type;
        const wchar_t* busy;
        bool full;
        CD::EError result;
        bool erased;
    } cases[] = {
        {"rewritable, full", L"closed", kCdRw, L"", true, CD::eOK, true},
        {"rewritable, quick", L"closed", kCdRw, L"", false, CD::eOK, true},
        {"DVD+RW, full", L"overwrite", kDvdPlusRw, L"", true, CD::eOK, true},
        {"write-once refused", L"closed", kCdR, L"", true, CD::eNotSupported, false},
        {"no medium", L"none", kCdRw, L"", true, CD::eNoMedia, false},
        {"recorder busy", L"closed", kCdRw, L"Other Burner", true, CD::eDriveBusy, false},
    };
    SetNumber(L"PaceMs", 20);  // an erase takes its time: one post per report
    for (const auto& c : cases) {
        RegDeleteTreeW(HKEY_CURRENT_USER, kSeen);
        SetText(L"Medium", c.medium);
        SetNumber(L"MediaType", c.type);
        SetText(L"Busy", c.busy);
        auto recorder = Open();
        ASSERT_NE(recorder, nullptr) << c.name;
        ProgressLog log;
        std::atomic<int> request{CDExpManager::eNone};
        RecorderJob job(log, request, 0);
        EXPECT_EQ(recorder->Erase(c.full, job), c.result) << c.name;
        EXPECT_EQ(Seen(L"Erases"), c.erased ? 1u : 0u) << c.name;
        EXPECT_EQ(Seen(L"Acquired"), Seen(L"Released")) << c.name;
        if (c.erased) {
            EXPECT_EQ(Seen(L"FullErase"), c.full ? 1u : 0u) << c.name;
            EXPECT_EQ(Narrow(Text(kSeen, L"OwnerAtWrite")), "VeskoLib") << c.name;
            EXPECT_EQ(Narrow(Text(kScenario, L"Medium")), "blank") << c.name;
            const std::string total = std::to_string(359846ull * 2048 / 1024);
            EXPECT_EQ(log.Phases(), c.full ? "erase:0.." + total + "/" + total : "") << c.name;
            if (c.full) {
                EXPECT_GT(log.Count(), 2u) << c.name << ": " << log.Phases();
            }
        } else {
            EXPECT_EQ(log.Phases(), "") << c.name;
        }
    }
}

// A host's view through a real CDExpManager: the events of one job as
// "1 4(burn) 5(1,0) 6(1)", progress folded to one entry per phase, once its
// 6 has arrived. What to do at the first progress beyond 0 is the test's.
class ManagerLog : public Observer {
  public:
    void OnEvent(Observable*, unsigned int eventId, void* data) override {
        std::string text = std::to_string(eventId);
        if (eventId == 4) {
            const auto* progress = static_cast<CDProgress*>(data);
            const char* kinds[] = {"none", "burn", "verify", "erase"};
            text += std::string("(") + kinds[progress->GetKind() & 3] + ")";
            if (progress->GetValue1() > 0 && onMoving) {
                auto act = std::move(onMoving);
                onMoving = nullptr;
                act();
            }
        } else if (eventId == 5) {
            const auto* result = static_cast<CDResult*>(data);
            text += "(" + std::to_string(result->GetFirst()) + "," +
                    std::to_string(result->GetSecond()) + ")";
        } else if (eventId != 1) {
            text += "(" + std::to_string(reinterpret_cast<uintptr_t>(data)) + ")";
        }
        std::lock_guard<std::mutex> lock(m_lock);
        if (eventId != 4 || m_last != text)
            m_text += (m_text.empty() ? "" : " ") + text;
        m_last = text;
        m_finished = eventId == 6;
        m_arrived.notify_all();
    }
    std::string WaitFinished() {
        std::unique_lock<std::mutex> lock(m_lock);
        m_arrived.wait_for(lock, std::chrono::seconds(60), [this] { return m_finished; });
        m_finished = false;
        m_last.clear();
        return std::exchange(m_text, {});
    }
    std::function<void()> onMoving;

  private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::string m_text, m_last;
    bool m_finished = false;
};

TEST_F(Imapi2RecorderTest, AHostBurnsAndErasesThroughTheManager) {
    SetNumber(L"PaceMs", 2);
    CDExpManager manager;
    ManagerLog log;
    manager.AddObserver(&log);
    ASSERT_EQ(manager.SetDrive("R:"), CD::eOK);
    const struct {
        const char* name;
        const wchar_t* medium;
        DWORD type;
        DWORD free;
        const wchar_t* busy;
        DWORD failAt;
        bool erase;
        bool flag;  // verify, or a full erase
        bool cancel;
        std::string events;
    } cases[] = {
        {"good burn", L"blank", kCdR, 359846, L"", 0xFFFFFFFF, false, false, false,
         "1 4(burn) 5(1,0) 6(1)"},
        {"burn with verify", L"blank", kCdR, 359846, L"", 0xFFFFFFFF, false, true, false,
         "1 4(burn) 4(verify) 5(1,0) 6(1)"},
        {"no medium", L"none", kCdR, 359846, L"", 0xFFFFFFFF, false, false, false,
         "1 5(1,11) 6(1)"},
        {"closed write-once medium", L"closed", kCdR, 0, L"", 0xFFFFFFFF, false, false, false,
         "1 5(1,12) 6(1)"},
        {"recorder busy", L"blank", kCdR, 359846, L"Other Burner", 0xFFFFFFFF, false, false, false,
         "1 5(1,4) 6(1)"},
        {"failure midway", L"blank", kCdR, 359846, L"", 100, false, false, false,
         "1 4(burn) 5(1,7) 6(1)"},
        {"cancel midway", L"blank", kCdR, 359846, L"", 0xFFFFFFFF, false, false, true,
         "1 4(burn) 7(1) 5(1,8) 6(1)"},
        {"too big for the medium", L"blank", kCdR, 200, L"", 0xFFFFFFFF, false, false, false,
         "1 5(1,5) 6(1)"},
        {"erase a rewritable disc", L"closed", kCdRw, 0, L"", 0xFFFFFFFF, true, true, false,
         "1 4(erase) 5(2,0) 6(2)"},
        // IMAPI2 cannot stop a blanking once it runs: the erase ends, blank.
        {"erase cancelled midway", L"closed", kCdRw, 0, L"", 0xFFFFFFFF, true, true, true,
         "1 4(erase) 5(2,0) 6(2)"},
        {"erase a write-once disc", L"closed", kCdR, 0, L"", 0xFFFFFFFF, true, true, false,
         "1 5(2,10) 6(2)"},
        {"erase without a medium", L"none", kCdRw, 0, L"", 0xFFFFFFFF, true, true, false,
         "1 5(2,11) 6(2)"},
        {"erase a busy recorder", L"closed", kCdRw, 0, L"Other Burner", 0xFFFFFFFF, true, true,
         false, "1 5(2,4) 6(2)"},
    };
    for (const auto& c : cases) {
        RegDeleteTreeW(HKEY_CURRENT_USER, kSeen);
        SetText(L"Medium", c.medium);
        SetNumber(L"MediaType", c.type);
        SetNumber(L"FreeSectors", c.free);
        SetText(L"Busy", c.busy);
        SetNumber(L"FailAtSector", c.failAt);
        if (c.cancel)
            log.onMoving = [&] { manager.Cancel(); };
        if (c.erase)
            manager.StartErase(c.flag);
        else
            manager.StartBurn(source.c_str(), c.flag);
        EXPECT_EQ(log.WaitFinished(), c.events) << c.name;
        log.onMoving = nullptr;
        EXPECT_EQ(Seen(L"Acquired"), Seen(L"Released")) << c.name;
        if (c.erase && c.events.find("5(2,0)") != std::string::npos) {
            EXPECT_EQ(Narrow(Text(kScenario, L"Medium")), "blank") << c.name;
        }
    }
}

}  // namespace
