// The protected service set against the real broker process: brokers that
// leave one interface out (the broker's test-only VESKO_BROKER_HIDE, which
// it inherits from the client that starts it), a service used after
// Release, and a registration whose broker can no longer be fetched.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <veskobroker.h>
#include <vesko/raii.h>

#include <cdexpservice.h>

#include "dialogdouble.h"
#include "filedlgservice.h"
#include "fileioprotected.h"
#include "ioprotected.h"
#include "protectedtestsupport.h"
#include "testsupport.h"

using namespace vesko::test;

namespace {

// A service set whose broker hides some interfaces, its Init result, and
// a folder the host made below the product's writable folder.
class ServiceSet : public ::testing::Test {
  protected:
    // The broker started by Init leaves out the named interfaces.
    void Start(const char* hidden) {
        SetEnvironmentVariableA("VESKO_BROKER_HIDE", hidden);
        initResult = set.Init(&Attrs());
        SetEnvironmentVariableA("VESKO_BROKER_HIDE", nullptr);
        io = set.GetFileIOService();
        dlg = set.GetFileDlgService();
        ASSERT_NE(io, nullptr);
        ASSERT_NE(dlg, nullptr);
        base = std::string(io->GetWritableDir()) + "\\set-" + std::to_string(GetCurrentProcessId());
        RemoveTree(base);
        ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr));
    }
    void TearDown() override {
        set.Release();
        RemoveTree(base);
    }
    // Every broker-backed file call gives expected and leaves what the host
    // made on disk and in the registry as it was.
    void ExpectEveryFileCallGives(DWORD expected) {
        const std::string file = base + "\\file.txt", folder = base + "\\kept";
        const char* key = "Software\\Cadra\\VeskoVariant";
        ASSERT_TRUE(WriteFileText(file, "untouched"));
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        RegDeleteKeyA(HKEY_CURRENT_USER, key);
        const struct {
            const char* name;
            std::function<DWORD()> call;
        } calls[] = {
            {"CreateDir", [&] { return io->CreateDir((base + "\\made").c_str()); }},
            {"MoveFileLI",
             [&] { return io->MoveFileLI(file.c_str(), (base + "\\moved").c_str()); }},
            {"ReCreateFileLI", [&] { return io->ReCreateFileLI(file.c_str()); }},
            {"DeleteDirRecursively", [&] { return io->DeleteDirRecursively(folder.c_str()); }},
            {"RegistryHKCUSetValueDWord",
             [&] { return io->RegistryHKCUSetValueDWord(key, "v", 1); }},
            // Unlike the direct service, an empty help file name is the broker's.
            {"DisplayHelpFile", [&] { return io->DisplayHelpFile("", nullptr); }},
        };
        for (const auto& c : calls) {
            const DWORD r = c.call();
            EXPECT_EQ(r, expected) << c.name << " gave " << Describe(r);
        }
        EXPECT_FALSE(io->IsDestinationWritable(base.c_str()));
        unsigned int major = 0, minor = 0, build = 0;
        EXPECT_FALSE(io->GetIEVersion(major, minor, build));
        EXPECT_EQ(TreeMismatch(base, "file.txt=untouched|kept\\", "made|moved"), "");
        vesko::UniqueHKey opened;
        EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, opened.Receive()),
                  ERROR_SUCCESS);
        EXPECT_EQ(io->CreateDir(folder.c_str()), 0u) << "an existing folder needs no broker";
    }
    // The size of the broker's audit log, which has one record per brokered call.
    static ULONGLONG SizeOf(const std::string& path) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
            return 0;
        return (ULONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    }

    ScratchDir dialogs{"sdlg"};
    DialogDouble dialog{dialogs.Path()};
    IOProtected set;
    bool initResult = false;
    FileIOService* io = nullptr;
    FileDlgService* dlg = nullptr;
    std::string base;
};

TEST_F(ServiceSet, WithoutTheDialogInterfaceInitFailsButBothServicesExistAndFilesWork) {
    Start("IFileDlgBroker");
    EXPECT_FALSE(initResult);
    const std::string made = base + "\\made";
    EXPECT_EQ(io->CreateDir(made.c_str()), 0u);
    EXPECT_TRUE(IsDir(made));

    // Every dialog gives the table's failure, leaves the caller's values
    // alone, and none is shown anywhere.
    const HRESULT expected = LookupFailureFor(IID_IFileDlgBroker);
    ASSERT_TRUE(FAILED(expected)) << Describe(expected);
    CString path = "kept", text = "kept";
    std::vector<CString> files = {"a"};
    int result = 42;
    EXPECT_EQ(dlg->ShowFileDialog(0, "", "", 0, "", nullptr, path, files), expected);
    EXPECT_EQ(
        dlg->ShowSaveImageDialog("", "", 0, "", "", nullptr, nullptr, 0, text, nullptr, nullptr),
        expected);
    EXPECT_EQ(dlg->ShowPrintSelectionDialog(nullptr, 0, "", "", text, 0, &result), expected);
    EXPECT_EQ(path + text, "keptkept");
    EXPECT_EQ(files.size(), 1u);
    EXPECT_EQ(result, 42);
    EXPECT_EQ(dialog.Calls().size(), 0u);
}

TEST_F(ServiceSet, WithoutTheFileInterfaceInitSucceedsFileCallsFailAndDialogsWork) {
    dialog.Answer("DoModalTrevoltFileDlg", IDOK, {{"path", "C:\\studies"}});
    Start("IFileIOBroker");
    EXPECT_TRUE(initResult);
    const HRESULT expected = LookupFailureFor(IID_IFileIOBroker);
    ASSERT_TRUE(FAILED(expected)) << Describe(expected);
    ExpectEveryFileCallGives(static_cast<DWORD>(expected));

    // The dialogs still reach the broker, which shows them in its process.
    CString path;
    std::vector<CString> files;
    EXPECT_EQ(dlg->ShowFileDialog(1, "dcm", "", 0, "*.dcm", nullptr, path, files), IDOK);
    EXPECT_EQ(path, "C:\\studies");
    const std::vector<DoubleCall> shown = dialog.Calls();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].processId, GetCurrentProcessId()) << "the dialog ran in the broker";
}

TEST_F(ServiceSet, AfterReleaseACallIsRefusedAndNothingReachesTheBroker) {
    Start("");
    ASSERT_TRUE(initResult);
    const std::string log = std::string(io->GetLogDir()) + "\\VeskoBroker.log";
    const ULONGLONG logBefore = SizeOf(log);
    EXPECT_TRUE(io->IsDestinationWritable(base.c_str()));
    const ULONGLONG logAfterCall = SizeOf(log);
    ASSERT_GT(logAfterCall, logBefore) << "the audit log shows a brokered call";

    io->Release();
    ExpectEveryFileCallGives(FileIOProtected::kReleasedResult);
    EXPECT_EQ(SizeOf(log), logAfterCall) << "the broker was called";
}

TEST_F(ServiceSet, ARegistrationWhoseBrokerCannotBeFetchedCountsAsNoBroker) {
    const std::vector<DWORD> before = BrokerProcesses();
    Start("");
    ASSERT_TRUE(initResult);
    set.Release();
    ASSERT_TRUE(Kill(NewBroker(before)));
    ASSERT_NE(set.GetBrokerCookie(), 0u);
    // A thread of its own apartment must unmarshal the broker afresh, which
    // fails once its process is gone.
    std::thread([&] {
        vesko::ComApartment apartment(COINIT_APARTMENTTHREADED);
        EXPECT_FALSE(set.Init(&Attrs()));
        ExpectNoBrokerServices(set.GetFileIOService(), set.GetFileDlgService(),
                               set.CreateCDExpService());
        set.Release();
    }).join();
}

}  // namespace
