// The library's classes, linked into this program: the service manager with
// the stand-in ieframe.dll deciding the mode, the direct service set, the
// file I/O service and the dialog service against the DialogLib/ReportLib
// doubles. Build and teardown orders are read from this program's own heap:
// operator new and delete are replaced to log addresses in order.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <cdexpmanager.h>
#include <cveskolibapp.h>
#include <dialogdouble.h>
#include <filedlgnonprotected.h>
#include <fileiononprotected.h>
#include <ieframestandin.h>
#include <iomanager.h>
#include <iononprotected.h>
#include <veskosecurityattributes.h>

#include "testsupport.h"

// The application object of the module that carries the library's classes:
// here this program, as in veskolib.dll.
CVeskoLibApp theApp;

// ---------------------------------------------------------------------------
// Heap log

namespace heap {

struct Entry {
    char kind;  // 'n' new, 'd' delete, 'm' marker
    const void* address;
};
constexpr int kCapacity = 1 << 16;
Entry g_entries[kCapacity];
std::atomic<int> g_count{0};
std::atomic<bool> g_recording{false};

void Record(char kind, const void* address) {
    if (!g_recording.load(std::memory_order_relaxed))
        return;
    const int i = g_count.fetch_add(1);
    if (i < kCapacity)
        g_entries[i] = {kind, address};
}

// Logs every allocation and release of this program while it exists.
class Log {
  public:
    Log() {
        g_count = 0;
        g_recording = true;
    }
    ~Log() { g_recording = false; }
    void Stop() { g_recording = false; }
    // Index of the first entry of kind at address (any address for a marker),
    // -1 when there is none.
    int Find(char kind, const void* address = nullptr) const {
        const int n = std::min(g_count.load(), kCapacity);
        for (int i = 0; i < n; ++i) {
            if (g_entries[i].kind == kind && (kind == 'm' || g_entries[i].address == address))
                return i;
        }
        return -1;
    }
};

}  // namespace heap

void* operator new(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    heap::Record('n', p);
    return p;
}
void operator delete(void* p) noexcept {
    if (!p)
        return;
    heap::Record('d', p);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace {

using vesko::test::DialogDouble;
using vesko::test::Exists;
using vesko::test::IsDir;
using vesko::test::ScratchDir;

// The protected members a test reads, reached the way a derived class may.
struct FileIOPeek : FileIOService {
    using FileIOService::GetOverrideItems;
    using FileIOService::GetSFileIO;
    using FileIOService::GetVeskoSecurityAttr;
};
VeskoSecurityAttributes* AttrOf(const FileIOService* service) {
    return (service->*(&FileIOPeek::GetVeskoSecurityAttr))();
}
SFileIO* WorkerOf(const FileIOService* service) {
    return (service->*(&FileIOPeek::GetSFileIO))();
}
unsigned int OverridesOf(const FileIOService* service) {
    return (service->*(&FileIOPeek::GetOverrideItems))();
}
struct SetPeek : IOService {
    using IOService::GetCDExpService;
};
CDExpService* CurrentDiscOf(const IOService* set) {
    return (set->*(&SetPeek::GetCDExpService))();
}

void WINAPI MarkModeTest(void*) {
    heap::Record('m', nullptr);
}

// The stand-in, loaded by this program for the whole test so that its state
// survives the library's LoadLibrary/FreeLibrary.
class ManagerTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_standin.IsLoaded()) << "ieframe.dll beside the test is not the stand-in "
                                             "(is WINEDLLOVERRIDES=ieframe=n,b set?)";
        m_standin.Reset();
        IOManager::ReleaseIOManager();
    }
    void TearDown() override {
        IOManager::ReleaseIOManager();
        m_standin.Reset();
    }
    IeframeStandin m_standin;
};

TEST_F(ManagerTest, BuiltOncePerManagerWithOneModeTest) {
    m_standin.SetAnswer("direct");
    IOManager& first = IOManager::GetIOManager();
    IOManager& again = IOManager::GetIOManager();
    EXPECT_EQ(&first, &again);
    EXPECT_EQ(m_standin.CallCount(), 1);
    EXPECT_FALSE(first.IsIEProtectedMode());
    EXPECT_NE(dynamic_cast<FileIONonProtected*>(first.GetFileIOService()), nullptr);
    EXPECT_NE(dynamic_cast<FileDlgNonProtected*>(first.GetFileDlgService()), nullptr);

    IOManager::ReleaseIOManager();
    IOManager::ReleaseIOManager();  // none left: nothing happens
    EXPECT_EQ(m_standin.CallCount(), 1);

    // A new manager asks again and may get another answer.
    m_standin.SetAnswer("protected");
    IOManager& second = IOManager::GetIOManager();
    EXPECT_EQ(m_standin.CallCount(), 2);
    EXPECT_TRUE(second.IsIEProtectedMode());
}

TEST_F(ManagerTest, TheModeFollowsOnlyTheBooleanTheTestWrote) {
    const struct {
        const char* answer;
        bool protectedMode;
    } cases[] = {
        {"direct", false}, {"protected", true}, {"fail-protected", true}, {"silent", false}};
    for (const auto& c : cases) {
        m_standin.SetAnswer(c.answer);
        IOManager& manager = IOManager::GetIOManager();
        EXPECT_EQ(manager.IsIEProtectedMode(), c.protectedMode) << "answer " << c.answer;
        // The direct set's services exactly when the mode is direct.
        const bool direct =
            dynamic_cast<FileIONonProtected*>(manager.GetFileIOService()) != nullptr;
        EXPECT_EQ(direct, !c.protectedMode) << "answer " << c.answer;
        IOManager::ReleaseIOManager();
    }
    EXPECT_EQ(m_standin.CallCount(), 4);
}

TEST_F(ManagerTest, BuildOrderAttributesThenModeTestThenServices) {
    m_standin.SetAnswer("direct");
    m_standin.SetHook(&MarkModeTest, nullptr);
    heap::Log log;
    IOManager& manager = IOManager::GetIOManager();
    log.Stop();
    FileIOService* fileIO = manager.GetFileIOService();
    FileDlgService* dialogs = manager.GetFileDlgService();
    ASSERT_NE(fileIO, nullptr);
    ASSERT_NE(dialogs, nullptr);
    VeskoSecurityAttributes* attr = AttrOf(fileIO);
    ASSERT_NE(attr, nullptr);

    const int attrNew = log.Find('n', attr), modeTest = log.Find('m');
    const int fileNew = log.Find('n', fileIO), dialogNew = log.Find('n', dialogs);
    EXPECT_GE(attrNew, 0);
    EXPECT_LT(attrNew, modeTest) << "security attributes at " << attrNew << ", mode test at "
                                 << modeTest;
    EXPECT_LT(modeTest, fileNew) << "mode test at " << modeTest << ", file service at " << fileNew;
    EXPECT_LT(fileNew, dialogNew) << "file service at " << fileNew << ", dialog service at "
                                  << dialogNew;

    EXPECT_TRUE(attr->m_bInitialized);
    EXPECT_STREQ(attr->m_strIdentity, VeskoSecurityAttributes::FormatIdentity());
    EXPECT_NE(attr->m_pLowSD, nullptr);
    EXPECT_NE(attr->m_pMediumSD, nullptr);
    // The services share the manager's attributes.
    EXPECT_EQ(WorkerOf(fileIO) != nullptr, true);
}

TEST_F(ManagerTest, TeardownReleasesTheServicesBeforeTheSecurityAttributes) {
    m_standin.SetAnswer("direct");
    IOManager& manager = IOManager::GetIOManager();
    FileIOService* fileIO = manager.GetFileIOService();
    FileDlgService* dialogs = manager.GetFileDlgService();
    CDExpService* disc = manager.GetCDExpService();
    VeskoSecurityAttributes* attr = AttrOf(fileIO);
    ASSERT_NE(disc, nullptr);
    heap::Log log;
    IOManager::ReleaseIOManager();
    log.Stop();
    const int fileGone = log.Find('d', fileIO), dialogGone = log.Find('d', dialogs);
    const int discGone = log.Find('d', disc), attrGone = log.Find('d', attr);
    const int managerGone = log.Find('d', &manager);
    EXPECT_GE(fileGone, 0);
    EXPECT_LT(fileGone, dialogGone)
        << "file service " << fileGone << ", dialog service " << dialogGone;
    EXPECT_LT(dialogGone, discGone)
        << "dialog service " << dialogGone << ", disc service " << discGone;
    EXPECT_LT(discGone, attrGone) << "disc service " << discGone << ", security attributes "
                                  << attrGone;
    EXPECT_LT(attrGone, managerGone)
        << "security attributes " << attrGone << ", manager " << managerGone;
}

TEST_F(ManagerTest, EachDiscServiceRequestReplacesThePreviousObject) {
    m_standin.SetAnswer("direct");
    ScratchDir disc("disc");
    IOManager& manager = IOManager::GetIOManager();
    FileIOService* fileIO = manager.GetFileIOService();
    FileDlgService* dialogs = manager.GetFileDlgService();
    CDExpService* first = manager.GetCDExpService();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->SetDrive(disc.Path().c_str()), CD::eOK);
    EXPECT_TRUE(first->IsValid());

    heap::Log log;
    CDExpService* second = manager.GetCDExpService();
    log.Stop();
    ASSERT_NE(second, nullptr);
    const int firstGone = log.Find('d', first), secondMade = log.Find('n', second);
    EXPECT_GE(firstGone, 0);
    EXPECT_LT(firstGone, secondMade)
        << "old service deleted at " << firstGone << ", new made at " << secondMade;
    // Nothing of the old recorder carries over.
    CString drive;
    second->GetDrive(drive);
    EXPECT_TRUE(drive.IsEmpty()) << drive.GetString();
    EXPECT_FALSE(second->IsValid());

    manager.ReleaseCDExpService();
    manager.ReleaseCDExpService();
    EXPECT_EQ(manager.GetFileIOService(), fileIO);
    EXPECT_EQ(manager.GetFileDlgService(), dialogs);
}

// Runs this program as a child that builds a manager with the stand-in told
// only by the environment, and reads the mode from its exit code.
struct ProbeResult {
    bool started = false;
    bool protectedMode = false;
    bool frameLoaded = false;
    bool frameHasExport = false;
};

ProbeResult DecodeProbe(DWORD code) {
    ProbeResult result;
    result.started = (code & 0xF0) == 0x50;
    result.protectedMode = code & 1;
    result.frameLoaded = code & 2;
    result.frameHasExport = code & 4;
    return result;
}

ProbeResult ProbeInChild(const char* answer) {
    char previous[64] = {};
    const bool hadAnswer =
        GetEnvironmentVariableA("VESKO_IEFRAME_ANSWER", previous, sizeof previous) > 0;
    SetEnvironmentVariableA("VESKO_IEFRAME_ANSWER", answer);
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command = std::string("\"") + exe + "\" --probe-mode";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    DWORD code = 0;
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                       &pi)) {
        WaitForSingleObject(pi.hProcess, 30000);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    SetEnvironmentVariableA("VESKO_IEFRAME_ANSWER", hadAnswer ? previous : nullptr);
    return DecodeProbe(code);
}

// The child's side: 0x50 | protected (1) | ieframe.dll loads (2) | it has
// the export (4). With --print it writes the same as text and ends with 0,
// for the ctest entries that start it with other DLL overrides.
int ProbeMode(bool print) {
    IOManager& manager = IOManager::GetIOManager();
    const bool protectedMode = manager.IsIEProtectedMode();
    IOManager::ReleaseIOManager();
    HMODULE frame = LoadLibraryA("ieframe.dll");
    const bool hasExport = frame && GetProcAddress(frame, "IEIsProtectedModeProcess");
    if (print) {
        std::printf("protected=%d loaded=%d export=%d\n", protectedMode, frame != nullptr,
                    hasExport);
        return 0;
    }
    return 0x50 | (protectedMode ? 1 : 0) | (frame ? 2 : 0) | (hasExport ? 4 : 0);
}

TEST(ModeFromTheEnvironment, TheStandInAnswersWhatTheVariableSays) {
    const struct {
        const char* answer;
        bool protectedMode;
    } cases[] = {{"fail-protected", true}, {"silent", false}, {"direct", false}};
    for (const auto& c : cases) {
        const ProbeResult probe = ProbeInChild(c.answer);
        ASSERT_TRUE(probe.started) << "answer " << c.answer;
        EXPECT_TRUE(probe.frameHasExport) << "answer " << c.answer;
        EXPECT_EQ(probe.protectedMode, c.protectedMode) << "answer " << c.answer;
    }
}

// ---------------------------------------------------------------------------
// The direct service set

class Attributes : public testing::Test {
  protected:
    void SetUp() override { m_attr.Init(); }
    void TearDown() override { m_attr.Release(); }
    VeskoSecurityAttributes m_attr;
};

using DirectSet = Attributes;

TEST_F(DirectSet, InitMakesFileAndDialogServicesButNoDiscService) {
    IONonProtected set;
    EXPECT_EQ(set.GetFileIOService(), nullptr);
    EXPECT_TRUE(set.Init(&m_attr));
    EXPECT_NE(set.GetFileIOService(), nullptr);
    EXPECT_NE(set.GetFileDlgService(), nullptr);
    EXPECT_EQ(CurrentDiscOf(&set), nullptr);
    EXPECT_EQ(AttrOf(set.GetFileIOService()), &m_attr);
    CDExpService* disc = set.CreateCDExpService();
    EXPECT_EQ(CurrentDiscOf(&set), disc);
    set.ReleaseCDExpService();
    EXPECT_EQ(CurrentDiscOf(&set), nullptr);
    set.ReleaseCDExpService();
    set.Release();
    set.Release();
    EXPECT_EQ(set.GetFileIOService(), nullptr);
    EXPECT_EQ(set.GetFileDlgService(), nullptr);
}

// Services and a set that write down when they go.
std::vector<std::string> g_events;
struct TracedFileIO : FileIONonProtected {
    ~TracedFileIO() override { g_events.push_back("file I/O service destroyed"); }
};
struct TracedDialogs : FileDlgNonProtected {
    ~TracedDialogs() override { g_events.push_back("dialog service destroyed"); }
};
struct TracedDisc : CDExpManager {
    ~TracedDisc() override { g_events.push_back("disc service destroyed"); }
};
struct TracedSet : IONonProtected {
    bool Init(VeskoSecurityAttributes* attr) override {
        IOService::Init(attr);
        auto* fileIO = new TracedFileIO();
        fileIO->Init(attr);
        SetFileIOService(fileIO);
        SetFileDlgService(new TracedDialogs());
        SetCDExpService(new TracedDisc());
        return true;
    }
    void ReleaseCDExpService() override {
        g_events.push_back("set releases the disc service");
        IONonProtected::ReleaseCDExpService();
    }
};

TEST_F(DirectSet, ReleaseOrderFileThenDialogThenDiscAndTheAttributesStay) {
    g_events.clear();
    TracedSet set;
    set.Init(&m_attr);
    set.Release();
    const std::vector<std::string> expected = {
        "file I/O service destroyed", "dialog service destroyed", "set releases the disc service",
        "disc service destroyed"};
    EXPECT_EQ(g_events, expected);
    EXPECT_TRUE(m_attr.m_bInitialized);
    EXPECT_EQ(m_attr.m_strIdentity.GetLength(), 38) << m_attr.m_strIdentity.GetString();
    g_events.clear();
}

// ---------------------------------------------------------------------------
// The file I/O service

using FileService = Attributes;

TEST_F(FileService, BeforeInitAndAfterReleaseItRefusesWithoutActing) {
    ScratchDir dir("svc");
    FileIONonProtected service;
    EXPECT_EQ(service.CreateDir(CString((dir / "x").c_str())), FileIOService::kNotInitialized);
    EXPECT_FALSE(Exists(dir / "x"));
    service.SetLastSavedDir(CString("C:\\somewhere"));
    EXPECT_TRUE(service.GetLastSavedDir().IsEmpty());
    EXPECT_TRUE(service.GetWritableDir().IsEmpty());
    service.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
    EXPECT_EQ(OverridesOf(&service), 0u);
    // Pure path operations need nothing from the service.
    EXPECT_TRUE(vesko::test::WriteFileText(dir / "a.txt", "a"));
    EXPECT_EQ(
        service.MoveFileLI(CString((dir / "a.txt").c_str()), CString((dir / "b.txt").c_str())), 0u);

    ASSERT_TRUE(service.Init(&m_attr));
    EXPECT_FALSE(service.GetWritableDir().IsEmpty());
    service.Release();
    service.Release();
    EXPECT_TRUE(service.GetWritableDir().IsEmpty());
    EXPECT_EQ(AttrOf(&service), nullptr);
    EXPECT_EQ(service.DisplayHelpFile(CString("x.chm"), nullptr), FileIOService::kNotInitialized);
}

TEST_F(FileService, GettersAndOperationsOverTheWorker) {
    ScratchDir dir("svc");
    FileIONonProtected service;
    ASSERT_TRUE(service.Init(&m_attr));
    const CString writable = service.GetWritableDir();
    const CString suffix = "\\Cadra\\4.7\\Temp";
    ASSERT_GT(writable.GetLength(), suffix.GetLength());
    EXPECT_STREQ(writable.Right(suffix.GetLength()), suffix);
    EXPECT_STREQ(service.GetLogDir(), service.GetNorvaneDir() + "\\CadraLogs");
    EXPECT_STREQ(service.GetZipDir(), service.GetNorvaneDir() + "\\CadraErrors\\CrashFiles_Zipped");
    EXPECT_TRUE(IsDir(service.GetCadraExportTemp().GetString()));

    service.SetLastSavedDir(CString("Q:\\does not\\exist"));
    EXPECT_STREQ(service.GetLastSavedDir(), "Q:\\does not\\exist");
    EXPECT_TRUE(service.IsDestinationWritable(CString()));

    // Without a trailing separator only the parent is made.
    EXPECT_EQ(service.CreateDirRecursively(CString((dir / "p\\q").c_str())), 0u);
    EXPECT_TRUE(IsDir(dir / "p"));
    EXPECT_FALSE(Exists(dir / "p\\q"));
    EXPECT_EQ(service.CreateDir(CString((dir / "p\\q\\r").c_str())), 0u);
    EXPECT_TRUE(IsDir(dir / "p\\q\\r"));
    vesko::test::WriteFileText(dir / "p\\q\\r\\img1", "1");
    vesko::test::WriteFileText(dir / "p\\q\\keep", "k");
    EXPECT_EQ(
        service.DeleteDirContentRecursively(CString((dir / "p\\q\\r").c_str()), CString("img")),
        0u);
    EXPECT_FALSE(Exists(dir / "p\\q\\r\\img1"));
    EXPECT_EQ(service.DeleteDirContentRecursively(CString((dir / "p").c_str())), 0u);
    EXPECT_TRUE(IsDir(dir / "p"));
    EXPECT_FALSE(Exists(dir / "p\\q"));
    EXPECT_EQ(service.DeleteDirRecursively(CString((dir / "p").c_str())), 0u);
    EXPECT_FALSE(Exists(dir / "p"));

    CString writableFile;
    char name[64];
    std::snprintf(name, sizeof name, "C:\\in\\vesko-%lu.pdf", GetCurrentProcessId());
    EXPECT_EQ(service.GetWritableFile(CString(name), writableFile), 0u);
    EXPECT_STREQ(writableFile, writable + std::strrchr(name, '\\'));
    EXPECT_TRUE(Exists(writableFile.GetString()));
    DeleteFileA(writableFile);
}

TEST_F(FileService, OnlyItemsWithBitZeroChangeAnything) {
    FileIONonProtected service;
    ASSERT_TRUE(service.Init(&m_attr));
    service.MakeVersionSpecificBehavior(static_cast<SFileIO::eFileIOOverrideItems>(2),
                                        CString("9.9.9"));
    EXPECT_EQ(OverridesOf(&service), 0u);
    EXPECT_TRUE(WorkerOf(&service)->GetVersionSuffix().IsEmpty());

    service.MakeVersionSpecificBehavior(static_cast<SFileIO::eFileIOOverrideItems>(3),
                                        CString("2.5.17"));
    EXPECT_EQ(OverridesOf(&service), 3u);
    EXPECT_STREQ(WorkerOf(&service)->GetVersionSuffix(), "_2_5");
    EXPECT_TRUE(service.GetLECacheDir().IsEmpty()) << service.GetLECacheDir().GetString();

    service.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
    EXPECT_EQ(OverridesOf(&service), 3u);
    const CString cache = service.GetLECacheDir();
    const CString tail = "\\Cadra\\4.7\\Local Cache_2_5";
    ASSERT_GT(cache.GetLength(), tail.GetLength());
    EXPECT_STREQ(cache.Right(tail.GetLength()), tail);
    EXPECT_TRUE(IsDir(cache.GetString()));
    RemoveDirectoryA(cache);
}

// ---------------------------------------------------------------------------
// Dialogs through the DialogLib/ReportLib doubles

class Dialogs : public testing::Test {
  protected:
    ScratchDir m_dir{"dlg"};
    DialogDouble m_double{m_dir.Path()};
    FileDlgNonProtected m_dialogs;
};

TEST_F(Dialogs, SaveImageDialogGetsEveryArgumentAndItsAnswerComesBack) {
    ASSERT_TRUE(m_double.Answer("DoModalSaveImgDlg", 1,
                                {{"path", "C:\\out\\img.png"}, {"filter", "3"}, {"flags", "17"}}));
    CString path("on entry");
    DWORD filter = 0, flags = 0;
    const int result = m_dialogs.ShowSaveImageDialog(
        "Title", "C:\\folder", 4, "name.png", "png", reinterpret_cast<HWND>(0x1234),
        reinterpret_cast<HINSTANCE>(0x5678), 9, path, &filter, &flags);
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(path, "C:\\out\\img.png");
    EXPECT_EQ(filter, 3u);
    EXPECT_EQ(flags, 17u);
    const auto calls = m_double.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].function, "DoModalSaveImgDlg");
    EXPECT_EQ(calls[0].processId, GetCurrentProcessId());
    const std::vector<std::string> args = {"Title",    "C:\\folder", "4",      "name.png",
                                           "png",      "0x1234",     "0x5678", "9",
                                           "on entry", "ptr",        "ptr"};
    EXPECT_EQ(calls[0].args, args);
}

TEST_F(Dialogs, FileDialogHandsTheCallersVectorOverUncleared) {
    ASSERT_TRUE(m_double.Answer("DoModalTrevoltFileDlg", 1,
                                {{"path", "C:\\pick"}, {"file", "a.dcm"}, {"file", "b.dcm"}}));
    CString path;
    std::vector<CString> files = {CString("already there")};
    const int result =
        m_dialogs.ShowFileDialog(2, "dcm", "start.dcm", 0x80, "DICOM|*.dcm", nullptr, path, files);
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(path, "C:\\pick");
    ASSERT_EQ(files.size(), 3u);
    EXPECT_STREQ(files[0], "already there");
    EXPECT_STREQ(files[1], "a.dcm");
    EXPECT_STREQ(files[2], "b.dcm");
    const auto calls = m_double.Calls();
    ASSERT_EQ(calls.size(), 1u);
    const std::vector<std::string> args = {"2",           "dcm", "start.dcm", "128",
                                           "DICOM|*.dcm", "0x0", "",          "1"};
    EXPECT_EQ(calls[0].args, args);
}

TEST_F(Dialogs, PrintSelectionReturnsS_OKAndTheAnswerThroughThePointer) {
    ASSERT_TRUE(m_double.Answer("DoModalPrintSelDialog", IDOK, {{"text", "All images"}}));
    ASSERT_TRUE(m_double.Answer("DoModalPrintSelDialog", IDCANCEL));
    CString selection;
    int answer = -1;
    HRESULT hr = m_dialogs.ShowPrintSelectionDialog(nullptr, 3, CString("Print"), "Which?",
                                                    selection, 0, &answer);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(answer, IDOK);
    EXPECT_STREQ(selection, "All images");

    answer = -1;
    hr = m_dialogs.ShowPrintSelectionDialog(nullptr, 3, CString("Print"), "Which?", selection,
                                            0xABCDEF, &answer);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(answer, IDCANCEL);

    // The broker value does not reach the dialog: both calls look alike.
    const auto calls = m_double.Calls();
    ASSERT_EQ(calls.size(), 2u);
    const std::vector<std::string> first = {"0x0", "3", "Print", "Which?", ""};
    EXPECT_EQ(calls[0].args, first);
    EXPECT_EQ(calls[1].args[0], "0x0");
    EXPECT_EQ(calls[1].args[2], "Print");
    EXPECT_EQ(calls[1].args.size(), first.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--probe-mode") == 0)
        return ProbeMode(argc == 3 && std::strcmp(argv[2], "--print") == 0);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
