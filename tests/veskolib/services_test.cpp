// The library's classes, linked into this program: the service manager with
// the stand-in ieframe.dll deciding the mode, the direct service set, the
// file I/O service and the dialog service against the DialogLib/ReportLib
// doubles. Build and teardown orders are read from this program's own heap:
// operator new and delete are replaced to log addresses in order.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
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
#include "veskolibtest.h"

// The application object of the module that carries the library's classes:
// here this program, as in veskolib.dll.
CVeskoLibApp theApp;

namespace heap {

// 'n' new, 'd' delete, 'm' a marker (any address matches it).
struct Entry {
    char kind;
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
void Start() {
    g_count = 0;
    g_recording = true;
}
void Stop() {
    g_recording = false;
}

// Each step must come after the one before it in the log.
struct Step {
    char kind;
    const void* address;
    const char* what;
};
void ExpectInOrder(std::initializer_list<Step> steps) {
    const int n = std::min(g_count.load(), kCapacity);
    int previous = -1;
    const char* before = "the start";
    for (const Step& step : steps) {
        int at = 0;
        while (at < n && !(g_entries[at].kind == step.kind &&
                           (step.kind == 'm' || g_entries[at].address == step.address)))
            ++at;
        at = at < n ? at : -1;
        EXPECT_GT(at, previous) << step.what << " at " << at << ", " << before << " at "
                                << previous;
        previous = at;
        before = step.what;
    }
}

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

namespace heap {
// The disc service's deleting destructor runs in discburnlib.dll, which frees
// the object through the C++ runtime's delete and its import of free: the log
// watches that import too.
using FreeFn = void(__cdecl*)(void*);
FreeFn g_discburnFree = nullptr;
void __cdecl RecordingFree(void* p) {
    if (p)
        Record('d', p);
    g_discburnFree(p);
}
}  // namespace heap

namespace {

using namespace vesko::test;

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

TEST_F(ManagerTest, EachManagerTestsTheModeOnceAndFollowsOnlyTheBooleanWritten) {
    const struct {
        const char* answer;
        bool protectedMode;
    } cases[] = {
        {"direct", false}, {"protected", true}, {"fail-protected", true}, {"silent", false}};
    LONG calls = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        m_standin.SetAnswer(c.answer);
        IOManager& manager = IOManager::GetIOManager();
        EXPECT_EQ(&manager, &IOManager::GetIOManager());
        EXPECT_EQ(m_standin.CallCount(), ++calls);
        EXPECT_EQ(manager.IsIEProtectedMode(), c.protectedMode);
        // The direct set's services exactly when the mode is direct.
        const bool direct =
            dynamic_cast<FileIONonProtected*>(manager.GetFileIOService()) != nullptr;
        EXPECT_EQ(direct, !c.protectedMode);
        EXPECT_TRUE(!direct ||
                    dynamic_cast<FileDlgNonProtected*>(manager.GetFileDlgService()) != nullptr);
        IOManager::ReleaseIOManager();
        IOManager::ReleaseIOManager();  // none left: nothing happens
        EXPECT_EQ(m_standin.CallCount(), calls);
    }
}

TEST_F(ManagerTest, BuildOrderDiscServiceReplacementAndTeardownOrder) {
    m_standin.SetAnswer("direct");
    m_standin.SetHook(&MarkModeTest, nullptr);
    // With the C++ runtime shared, discburnlib's delete is the runtime's,
    // which frees through its own import.
    HMODULE runtime = GetModuleHandleA("libstdc++-6.dll");
    ImportHook discburnFree(runtime ? runtime : GetModuleHandleA("discburnlib.dll"), "free",
                            reinterpret_cast<void*>(&heap::RecordingFree));
    ASSERT_TRUE(discburnFree.Hooked());
    heap::g_discburnFree = reinterpret_cast<heap::FreeFn>(discburnFree.Original());
    heap::Start();
    IOManager& manager = IOManager::GetIOManager();
    heap::Stop();
    FileIOService* fileIO = manager.GetFileIOService();
    FileDlgService* dialogs = manager.GetFileDlgService();
    ASSERT_TRUE(fileIO && dialogs);
    VeskoSecurityAttributes* attr = AttrOf(fileIO);
    ASSERT_NE(attr, nullptr);
    heap::ExpectInOrder({{'n', attr, "security attributes"},
                         {'m', nullptr, "mode test"},
                         {'n', fileIO, "file service"},
                         {'n', dialogs, "dialog service"}});
    EXPECT_TRUE(attr->m_bInitialized);
    EXPECT_STREQ(attr->m_strIdentity, VeskoSecurityAttributes::FormatIdentity());
    EXPECT_NE(attr->m_pLowSD, nullptr);
    EXPECT_NE(attr->m_pMediumSD, nullptr);

    // Each disc service request replaces the previous object, recorder and all.
    ScratchDir folder("disc");
    CDExpService* first = manager.GetCDExpService();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->SetDrive(folder.Path().c_str()), CD::eOK);
    EXPECT_TRUE(first->IsValid());
    heap::Start();
    CDExpService* disc = manager.GetCDExpService();
    heap::Stop();
    ASSERT_NE(disc, nullptr);
    heap::ExpectInOrder({{'d', first, "old disc service deleted"}, {'n', disc, "new one made"}});
    CString drive;
    disc->GetDrive(drive);
    EXPECT_TRUE(drive.IsEmpty()) << drive.GetString();
    EXPECT_FALSE(disc->IsValid());
    EXPECT_EQ(manager.GetFileIOService(), fileIO);
    EXPECT_EQ(manager.GetFileDlgService(), dialogs);

    heap::Start();
    IOManager::ReleaseIOManager();
    heap::Stop();
    heap::ExpectInOrder({{'d', fileIO, "file service"},
                         {'d', dialogs, "dialog service"},
                         {'d', disc, "disc service"},
                         {'d', attr, "security attributes"},
                         {'d', &manager, "manager"}});
}

// The child's side of the ctest entries that start this program with other
// DLL overrides: the mode the manager found and what ieframe.dll offered.
int PrintProbedMode() {
    IOManager& manager = IOManager::GetIOManager();
    const bool protectedMode = manager.IsIEProtectedMode();
    IOManager::ReleaseIOManager();
    HMODULE frame = LoadLibraryA("ieframe.dll");
    const bool hasExport = frame && GetProcAddress(frame, "IEIsProtectedModeProcess");
    std::printf("protected=%d loaded=%d export=%d\n", protectedMode, frame != nullptr, hasExport);
    return 0;
}

// ---------------------------------------------------------------------------
// The direct service set and its file I/O service

TEST(DirectSet, InitMakesFileAndDialogServicesOnTheSharedAttributesButNoDiscService) {
    IONonProtected set;
    EXPECT_TRUE(set.Init(&SharedAttr()));
    ASSERT_NE(set.GetFileIOService(), nullptr);
    EXPECT_NE(set.GetFileDlgService(), nullptr);
    EXPECT_EQ(CurrentDiscOf(&set), nullptr);
    EXPECT_EQ(AttrOf(set.GetFileIOService()), &SharedAttr());
    CDExpService* disc = set.CreateCDExpService();
    EXPECT_EQ(CurrentDiscOf(&set), disc);
    set.ReleaseCDExpService();
    EXPECT_EQ(CurrentDiscOf(&set), nullptr);
    set.ReleaseCDExpService();
    set.Release();
    set.Release();
    EXPECT_EQ(set.GetFileIOService(), nullptr);
    EXPECT_EQ(set.GetFileDlgService(), nullptr);
    // The attributes belong to the manager and outlive the set.
    EXPECT_TRUE(SharedAttr().m_bInitialized);
}

// Without its worker (before Init, after Release) the service refuses what
// needs it; with it, what the host's walk through the manager does not reach.
TEST(FileService, RefusesWithoutItsWorkerAndOtherwiseReachesIt) {
    ScratchDir dir("svc");
    FileIONonProtected service;
    EXPECT_EQ(service.CreateDir(C(dir / "x")), FileIOService::kNotInitialized);
    EXPECT_FALSE(Exists(dir / "x"));
    service.SetLastSavedDir(CString("C:\\somewhere"));
    EXPECT_TRUE(service.GetLastSavedDir().IsEmpty());
    EXPECT_TRUE(service.GetWritableDir().IsEmpty());
    service.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
    EXPECT_EQ(OverridesOf(&service), 0u);
    // Pure path operations need nothing from the service.
    ASSERT_TRUE(MakeTree(dir.Path(), "a.txt"));
    EXPECT_EQ(service.MoveFileLI(C(dir / "a.txt"), C(dir / "b.txt")), 0u);

    ASSERT_TRUE(service.Init(&SharedAttr()));
    const CString writable = service.GetWritableDir();
    EXPECT_STREQ(writable.Right(15), "\\Cadra\\4.7\\Temp");
    EXPECT_STREQ(service.GetZipDir(), service.GetNorvaneDir() + "\\CadraErrors\\CrashFiles_Zipped");
    EXPECT_TRUE(IsDir(service.GetCadraExportTemp().GetString()));

    // Without a trailing separator only the parent is made; with a prefix
    // only the matching files go.
    EXPECT_EQ(service.CreateDirRecursively(C(dir / "p\\q")), 0u);
    EXPECT_EQ(TreeMismatch(dir.Path(), "p\\", "p\\q"), "");
    ASSERT_TRUE(MakeTree(dir.Path(), "p\\q\\img1|p\\q\\other"));
    EXPECT_EQ(service.DeleteDirContentRecursively(C(dir / "p\\q"), CString("img")), 0u);
    EXPECT_EQ(TreeMismatch(dir.Path(), "p\\q\\other", "p\\q\\img1"), "");
    EXPECT_EQ(service.DeleteDirContentRecursively(C(dir / "p")), 0u);
    EXPECT_EQ(TreeMismatch(dir.Path(), "p\\", "p\\q"), "");
    EXPECT_EQ(service.DeleteDirRecursively(C(dir / "p")), 0u);
    EXPECT_FALSE(Exists(dir / "p"));

    const CString name =
        "\\vesko-" + CString(std::to_string(GetCurrentProcessId()).c_str()) + ".pdf";
    CString writableFile;
    EXPECT_EQ(service.GetWritableFile("C:\\in" + name, writableFile), 0u);
    EXPECT_STREQ(writableFile, writable + name);
    EXPECT_TRUE(DeleteFileA(writableFile));

    // Only override items with bit zero change anything.
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
    EXPECT_STREQ(cache.Right(26), "\\Cadra\\4.7\\Local Cache_2_5");
    EXPECT_TRUE(IsDir(cache.GetString()));
    RemoveDirectoryA(cache);

    service.Release();
    service.Release();
    EXPECT_TRUE(service.GetWritableDir().IsEmpty());
    EXPECT_EQ(AttrOf(&service), nullptr);
    EXPECT_EQ(service.DisplayHelpFile(CString("x.chm"), nullptr), FileIOService::kNotInitialized);
}

// ---------------------------------------------------------------------------
// Dialogs through the DialogLib/ReportLib doubles

TEST(Dialogs, EachDialogGetsEveryArgumentAndItsScriptedAnswerComesBack) {
    ScratchDir dir("dlg");
    DialogDouble dialogDouble(dir.Path());
    FileDlgNonProtected dialogs;
    ASSERT_TRUE(dialogDouble.Answer(
        "DoModalSaveImgDlg", 1, {{"path", "C:\\out\\img.png"}, {"filter", "3"}, {"flags", "17"}}));
    ASSERT_TRUE(dialogDouble.Answer("DoModalTrevoltFileDlg", 1,
                                    {{"path", "C:\\pick"}, {"file", "a.dcm"}, {"file", "b.dcm"}}));
    ASSERT_TRUE(dialogDouble.Answer("DoModalPrintSelDialog", IDOK, {{"text", "All images"}}));
    ASSERT_TRUE(dialogDouble.Answer("DoModalPrintSelDialog", IDCANCEL));

    CString path("on entry");
    DWORD filter = 0, flags = 0;
    EXPECT_EQ(dialogs.ShowSaveImageDialog(
                  "Title", "C:\\folder", 4, "name.png", "png", reinterpret_cast<HWND>(0x1234),
                  reinterpret_cast<HINSTANCE>(0x5678), 9, path, &filter, &flags),
              1);
    EXPECT_STREQ(path, "C:\\out\\img.png");
    EXPECT_EQ(filter, 3u);
    EXPECT_EQ(flags, 17u);

    // The caller's vector is handed over uncleared.
    CString picked;
    std::vector<CString> files = {CString("already there")};
    EXPECT_EQ(
        dialogs.ShowFileDialog(2, "dcm", "start.dcm", 0x80, "DICOM|*.dcm", nullptr, picked, files),
        1);
    EXPECT_STREQ(picked, "C:\\pick");
    EXPECT_EQ(files, (std::vector<CString>{"already there", "a.dcm", "b.dcm"}));

    // S_OK, and the answer through the pointer.
    CString selection;
    int answers[2] = {-1, -1};
    for (const DWORD brokerValue : {0x0u, 0xABCDEFu}) {
        EXPECT_EQ(
            dialogs.ShowPrintSelectionDialog(nullptr, 3, CString("Print"), "Which?", selection,
                                             brokerValue, &answers[brokerValue ? 1 : 0]),
            S_OK);
    }
    EXPECT_EQ(answers[0], IDOK);
    EXPECT_EQ(answers[1], IDCANCEL);
    EXPECT_STREQ(selection, "All images");

    // The broker value does not reach the print dialog: its second call shows
    // only the first one's result text, as it was on entry.
    const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
        {"DoModalSaveImgDlg",
         {"Title", "C:\\folder", "4", "name.png", "png", "0x1234", "0x5678", "9", "on entry", "ptr",
          "ptr"}},
        {"DoModalTrevoltFileDlg", {"2", "dcm", "start.dcm", "128", "DICOM|*.dcm", "0x0", "", "1"}},
        {"DoModalPrintSelDialog", {"0x0", "3", "Print", "Which?", ""}},
        {"DoModalPrintSelDialog", {"0x0", "3", "Print", "Which?", "All images"}}};
    const auto calls = dialogDouble.Calls();
    ASSERT_EQ(calls.size(), expected.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].function, expected[i].first);
        EXPECT_EQ(calls[i].processId, GetCurrentProcessId());
        EXPECT_EQ(calls[i].args, expected[i].second) << "call " << i;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--probe-mode") == 0)
        return PrintProbedMode();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
