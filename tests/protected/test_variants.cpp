// Brokers that leave one of their interfaces out, as a broker of a reduced
// contract would: what the service set and its services make of them. The
// variants are the real broker with its test-only switch VESKO_BROKER_HIDE,
// which the broker inherits from the client that starts it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialogdouble.h"
#include "endtoendsupport.h"
#include "filedlgservice.h"
#include "fileioservice.h"
#include "iomanager.h"
#include "ioprotected.h"
#include "protectedtestsupport.h"
#include "testsupport.h"

using namespace vesko::test;
using vesko::ComPtr;

namespace {

// Brokers started while it lives leave out the named interfaces.
class HiddenInterfaces {
  public:
    explicit HiddenInterfaces(const char* names) {
        SetEnvironmentVariableA("VESKO_BROKER_HIDE", names);
    }
    ~HiddenInterfaces() { SetEnvironmentVariableA("VESKO_BROKER_HIDE", nullptr); }
    HiddenInterfaces(const HiddenInterfaces&) = delete;
    HiddenInterfaces& operator=(const HiddenInterfaces&) = delete;
};

// A protected-mode manager whose broker hides `names`: the switch is set only
// while the first GetIOManager starts the broker.
IOManager& ManagerWithout(const char* names) {
    ChooseMode(true);
    HiddenInterfaces hide(names);
    return IOManager::GetIOManager();
}

// The result of Init of a fresh set whose broker hides `names`; the set's
// services, when it made them, are reported through the two flags.
bool InitSetWithout(const char* names, bool& hasFileIO, bool& hasFileDlg) {
    HiddenInterfaces hide(names);
    IOProtected set;
    const bool result = set.Init(&Attrs());
    hasFileIO = set.GetFileIOService() != nullptr;
    hasFileDlg = set.GetFileDlgService() != nullptr;
    set.Release();
    return result;
}

HRESULT Query(IBroker* broker, REFIID riid) {
    ComPtr<IUnknown> unknown;
    return broker->QueryInterface(riid, reinterpret_cast<void**>(unknown.GetAddressOf()));
}

// A folder inside the product's writable folder, where the broker may work.
std::string PolicyFolder(FileIOService* io, const char* tag) {
    return std::string(io->GetWritableDir().GetString()) + "\\" + tag + "-" +
           std::to_string(GetCurrentProcessId());
}

TEST(BrokerVariants, TheSwitchHidesExactlyTheNamedInterfaces) {
    struct Case {
        const char* hide;
        HRESULT fileIO, fileDlg;
    } cases[] = {
        {"IFileDlgBroker", S_OK, E_NOINTERFACE},
        {"IFileIOBroker", E_NOINTERFACE, S_OK},
        {" IFileIOBroker , IFileDlgBroker ", E_NOINTERFACE, E_NOINTERFACE},
        {"", S_OK, S_OK},
    };
    for (const Case& c : cases) {
        ComPtr<IBroker> broker;
        HRESULT hr = S_OK;
        {
            HiddenInterfaces hide(c.hide);
            broker = StartBroker(&hr);
        }
        ASSERT_NE(broker, nullptr) << "'" << c.hide << "': activation " << Hex(hr);
        EXPECT_EQ(Query(broker.Get(), IID_IFileIOBroker), c.fileIO)
            << "'" << c.hide << "': IFileIOBroker " << Hex(Query(broker.Get(), IID_IFileIOBroker));
        EXPECT_EQ(Query(broker.Get(), IID_IFileDlgBroker), c.fileDlg)
            << "'" << c.hide << "': IFileDlgBroker "
            << Hex(Query(broker.Get(), IID_IFileDlgBroker));
        EXPECT_EQ(Query(broker.Get(), IID_ICDWrite), S_OK)
            << "'" << c.hide << "': ICDWrite " << Hex(Query(broker.Get(), IID_ICDWrite));
    }
}

TEST(BrokerVariants, WithoutTheDialogInterfaceInitFailsButBothServicesExistAndFilesWork) {
    bool hasFileIO = false, hasFileDlg = false;
    EXPECT_FALSE(InitSetWithout("IFileDlgBroker", hasFileIO, hasFileDlg));
    EXPECT_TRUE(hasFileIO);
    EXPECT_TRUE(hasFileDlg);

    ScratchDir dialogs("vdlg");
    DialogDouble dialog(dialogs.Path());
    dialog.Answer("DoModalTrevoltFileDlg", IDOK, {{"path", "C:\\chosen"}});
    IOManager& manager = ManagerWithout("IFileDlgBroker");
    ASSERT_TRUE(manager.IsIEProtectedMode());
    FileIOService* io = manager.GetFileIOService();
    FileDlgService* dlg = manager.GetFileDlgService();
    ASSERT_NE(io, nullptr);
    ASSERT_NE(dlg, nullptr);

    // The file operations go through the broker as usual.
    const std::string base = PolicyFolder(io, "nodlg");
    RemoveTree(base);
    DWORD r = io->CreateDir(base.c_str());
    EXPECT_EQ(r, 0u) << Hex(r);
    EXPECT_TRUE(IsDir(base));
    ASSERT_TRUE(WriteFileText(base + "\\a.txt", "moved"));
    r = io->MoveFileLI((base + "\\a.txt").c_str(), (base + "\\b.txt").c_str());
    EXPECT_EQ(r, 0u) << Hex(r);
    EXPECT_EQ(ReadFileText(base + "\\b.txt"), "moved");
    EXPECT_TRUE(io->IsDestinationWritable(base.c_str()));
    EXPECT_FALSE(io->IsDestinationWritable("C:\\windows")) << "the broker's policy still applies";
    r = io->DeleteDirRecursively(base.c_str());
    EXPECT_EQ(r, 0u) << Hex(r);
    EXPECT_FALSE(Exists(base));

    // The dialog service has no broker interface: the table's failure, and
    // no dialog shown anywhere.
    const HRESULT expected = LookupFailureFor(IID_IFileDlgBroker);
    ASSERT_TRUE(FAILED(expected)) << Hex(expected);
    CString path = "kept";
    std::vector<CString> files;
    const int shown = dlg->ShowFileDialog(0, "", "", 0, "", nullptr, path, files);
    EXPECT_EQ(shown, expected) << Hex(static_cast<unsigned long>(shown));
    EXPECT_EQ(path, "kept");
    EXPECT_EQ(dialog.Calls().size(), 0u) << "dialogs shown: " << dialog.Calls().size();
    IOManager::ReleaseIOManager();
    RemoveTree(base);
}

TEST(BrokerVariants, WithoutTheFileInterfaceInitSucceedsFileCallsFailAndDialogsWork) {
    bool hasFileIO = false, hasFileDlg = false;
    EXPECT_TRUE(InitSetWithout("IFileIOBroker", hasFileIO, hasFileDlg));
    EXPECT_TRUE(hasFileIO);
    EXPECT_TRUE(hasFileDlg);

    ScratchDir dialogs("vdlg");
    DialogDouble dialog(dialogs.Path());
    dialog.Answer("DoModalTrevoltFileDlg", IDOK,
                  {{"path", "C:\\studies"}, {"file", "C:\\studies\\a.dcm"}});
    IOManager& manager = ManagerWithout("IFileIOBroker");
    ASSERT_TRUE(manager.IsIEProtectedMode());
    FileIOService* io = manager.GetFileIOService();
    FileDlgService* dlg = manager.GetFileDlgService();
    ASSERT_NE(io, nullptr);
    ASSERT_NE(dlg, nullptr);

    // Every broker-backed file call reports the table's answer for cookie 0,
    // and nothing happens on disk or in the registry.
    const DWORD expected = static_cast<DWORD>(LookupFailureFor(IID_IFileIOBroker));
    ASSERT_TRUE(FAILED(static_cast<HRESULT>(expected))) << Hex(expected);
    const std::string base = PolicyFolder(io, "noio");
    RemoveTree(base);
    const std::string existing = base + "-file.txt";
    ASSERT_TRUE(WriteFileText(existing, "untouched"));
    DWORD r = io->CreateDir(base.c_str());
    EXPECT_EQ(r, expected) << Hex(r);
    EXPECT_FALSE(Exists(base));
    r = io->MoveFileLI(existing.c_str(), (base + "-moved.txt").c_str());
    EXPECT_EQ(r, expected) << Hex(r);
    r = io->ReCreateFileLI(existing.c_str());
    EXPECT_EQ(r, expected) << Hex(r);
    EXPECT_EQ(ReadFileText(existing), "untouched");
    const std::string kept = base + "-kept";
    CreateDirectoryA(kept.c_str(), nullptr);
    r = io->DeleteDirRecursively(kept.c_str());
    EXPECT_EQ(r, expected) << Hex(r);
    EXPECT_TRUE(IsDir(kept));
    RemoveTree(kept);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Cadra\\VeskoVariant");
    r = io->RegistryHKCUSetValueDWord("Software\\Cadra\\VeskoVariant", "v", 1);
    EXPECT_EQ(r, expected) << Hex(r);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Cadra\\VeskoVariant", 0, KEY_READ, &key),
              ERROR_SUCCESS)
        << "the key was created";
    if (key)
        RegCloseKey(key);
    r = io->DisplayHelpFile("", nullptr);
    EXPECT_EQ(r, expected) << Hex(r);
    EXPECT_FALSE(io->IsDestinationWritable(io->GetWritableDir()));
    unsigned int major = 0, minor = 0, build = 0;
    EXPECT_FALSE(io->GetIEVersion(major, minor, build));
    EXPECT_EQ(io->CreateDir(io->GetWritableDir()), 0u) << "an existing folder needs no broker";

    // The dialogs still reach the broker, which shows them in its process.
    CString path;
    std::vector<CString> files;
    const int shown = dlg->ShowFileDialog(1, "dcm", "", 0, "*.dcm", nullptr, path, files);
    EXPECT_EQ(shown, IDOK);
    EXPECT_EQ(path, "C:\\studies");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], "C:\\studies\\a.dcm");
    const std::vector<DoubleCall> calls = dialog.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].function, "DoModalTrevoltFileDlg");
    EXPECT_NE(calls[0].processId, GetCurrentProcessId()) << "the dialog ran in the broker";
    IOManager::ReleaseIOManager();
    DeleteFileA(existing.c_str());
}

}  // namespace
