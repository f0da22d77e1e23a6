// The library as a host uses it, through IOManager, in protected mode (the
// stand-in ieframe.dll says so) with the real broker process, and the same
// walk in direct mode for comparison.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "dialogdouble.h"
#include "endtoendsupport.h"
#include "filedlgservice.h"
#include "fileioservice.h"
#include "iomanager.h"
#include "protectedtestsupport.h"
#include "testsupport.h"

using namespace vesko::test;

namespace {

using Outcome = std::map<std::string, std::string>;

std::string Num(unsigned long long v) {
    return std::to_string(v);
}

std::string BrokerSet(const std::vector<DWORD>& pids) {
    std::string text;
    for (DWORD pid : pids)
        text += std::to_string(pid) + " ";
    return text;
}

// Pids in after that are not in before.
std::vector<DWORD> NewBrokers(const std::vector<DWORD>& before) {
    std::vector<DWORD> fresh;
    for (DWORD pid : BrokerProcesses()) {
        bool known = false;
        for (DWORD old : before)
            known = known || old == pid;
        if (!known)
            fresh.push_back(pid);
    }
    return fresh;
}

// The walk a host makes: folders, files, registry, dialogs, a burn. Every
// observable result goes into the outcome, which must not depend on the mode.
Outcome Walk(bool bProtected) {
    Outcome out;
    ChooseMode(bProtected);
    ScratchDir dialogs("dlg");
    DialogDouble dialog(dialogs.Path());
    dialog.Answer(
        "DoModalTrevoltFileDlg", IDOK,
        {{"path", "C:\\studies"}, {"file", "C:\\studies\\a.dcm"}, {"file", "C:\\studies\\b.dcm"}});
    dialog.Answer("DoModalSaveImgDlg", IDOK, {{"path", "C:\\out\\image.png"}, {"filter", "3"}});
    dialog.Answer("DoModalPrintSelDialog", 7, {{"text", "all pages"}});

    IOManager& manager = IOManager::GetIOManager();
    out["mode"] = manager.IsIEProtectedMode() ? "protected" : "direct";
    FileIOService* io = manager.GetFileIOService();
    FileDlgService* dlg = manager.GetFileDlgService();
    if (!io || !dlg) {
        out["services"] = "missing";
        IOManager::ReleaseIOManager();
        return out;
    }
    out["writable"] = io->GetWritableDir().GetString();
    out["log"] = io->GetLogDir().GetString();
    out["userdoc"] = io->GetUserDocDir().GetString();

    const std::string base = std::string(io->GetWritableDir().GetString()) + "\\e2e-" +
                             std::to_string(GetCurrentProcessId());
    RemoveTree(base);
    out["createdir"] = Num(io->CreateDir(base.c_str()));
    const std::string file = base + "\\a.txt";
    WriteFileText(file, "contents");
    out["move"] = Num(io->MoveFileLI(file.c_str(), (base + "\\b.txt").c_str()));
    out["moved"] = ReadFileText(base + "\\b.txt");
    out["move-missing"] = Num(io->MoveFileLI(file.c_str(), (base + "\\c.txt").c_str()));
    out["recreate"] = Num(io->ReCreateFileLI((base + "\\b.txt").c_str()));
    out["recreated"] = Num(Exists(base + "\\b.txt")) + ReadFileText(base + "\\b.txt");
    out["registry"] = Num(io->RegistryHKCUSetValueDWord("Software\\Cadra\\VeskoE2E", "Mode", 7));
    DWORD value = 0, size = sizeof(value);
    RegGetValueA(HKEY_CURRENT_USER, "Software\\Cadra\\VeskoE2E", "Mode", RRF_RT_REG_DWORD, nullptr,
                 &value, &size);
    out["registry-value"] = Num(value);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Cadra\\VeskoE2E");
    unsigned int v1 = 0, v2 = 0, v3 = 0;
    out["ieversion"] = Num(io->GetIEVersion(v1, v2, v3)) + " " + Num(v1) + "." + Num(v2);

    CString path;
    std::vector<CString> files = {"earlier"};
    out["filedlg"] = Num(dlg->ShowFileDialog(1, "dcm", "", 0, "*.dcm", nullptr, path, files));
    out["filedlg-path"] = path.GetString();
    for (const CString& f : files)
        out["filedlg-files"] += std::string(f.GetString()) + ";";
    CString saved;
    DWORD filter = 0, flags = 0;
    out["savedlg"] = Num(dlg->ShowSaveImageDialog("Save", "C:\\out", 1, "image", "png", nullptr,
                                                  nullptr, 0, saved, &filter, &flags));
    out["savedlg-path"] = saved.GetString();
    out["savedlg-filter"] = Num(filter);
    CString printText;
    int printResult = 0;
    out["printdlg"] = Num(
        dlg->ShowPrintSelectionDialog(nullptr, 2, "caption", "prompt", printText, 0, &printResult));
    out["printdlg-result"] = Num(printResult) + " " + printText.GetString();

    // A burn on the virtual recorder, with its events.
    const std::string disc = base + "\\disc";
    CreateDirectoryA(disc.c_str(), nullptr);
    const std::string source = base + "\\image.bin";
    WriteFileText(source, std::string(300 * 1024, 'x'));
    CDExpService* cd = manager.GetCDExpService();
    DiscEvents events;
    cd->AddObserver(&events);
    out["setdrive"] = Num(cd->SetDrive((disc + "?size=10485760").c_str()));
    CString drive;
    out["getdrive"] = Num(cd->GetDrive(drive)) + " " + drive.GetString();
    out["validate"] = Num(cd->ValidateDrive());
    out["isvalid"] = Num(cd->IsValid());
    unsigned long long space = 0;
    out["space"] = Num(cd->GetDriveAvailSpace(space)) + " " + Num(space);
    cd->StartBurn(source.c_str(), true);
    out["burn-finished"] = Num(events.WaitFinished(30000));
    {
        std::lock_guard<std::mutex> hold(events.m_lock);
        out["burn-progress"] = Num(events.progressCount > 0);
        out["burn-last-progress"] = Num(events.lastDone) + "/" + Num(events.lastTotal);
        out["burn-result"] = Num(events.resultFirst) + " " + Num(events.resultSecond);
    }
    out["burn-events"] = events.Sequence();
    out["burned"] = Num(ReadFileText(disc + "\\image.bin").size());
    cd->RemoveObserver(&events);
    manager.ReleaseCDExpService();

    out["deletedir"] = Num(io->DeleteDirRecursively(base.c_str()));
    out["deleted"] = Num(Exists(base));
    IOManager::ReleaseIOManager();
    return out;
}

TEST(EndToEnd, TheSameWalkGivesTheSameResultsInBothModes) {
    const Outcome direct = Walk(false);
    const Outcome brokered = Walk(true);
    EXPECT_EQ(direct.at("mode"), "direct");
    ASSERT_EQ(brokered.at("mode"), "protected");
    ASSERT_EQ(brokered.count("services"), 0u) << "protected mode has both services";
    for (const auto& [key, value] : direct) {
        if (key == "mode")
            continue;
        const auto other = brokered.find(key);
        ASSERT_NE(other, brokered.end()) << key;
        EXPECT_EQ(other->second, value)
            << key << ": direct '" << value << "', protected '" << other->second << "'";
    }
    // And the walk itself did what it should.
    EXPECT_EQ(direct.at("move"), "0");
    EXPECT_EQ(direct.at("moved"), "contents");
    EXPECT_EQ(direct.at("registry-value"), "7");
    EXPECT_EQ(direct.at("filedlg-files"), "earlier;C:\\studies\\a.dcm;C:\\studies\\b.dcm;");
    EXPECT_EQ(direct.at("burn-finished"), "1");
    EXPECT_EQ(direct.at("burn-result"), "1 0");
    EXPECT_EQ(direct.at("burned"), Num(300 * 1024));
    EXPECT_EQ(direct.at("deleted"), "0");
}

TEST(EndToEnd, ModesDifferWhereTheBrokerStandsBetween) {
    ChooseMode(true);
    IOManager& manager = IOManager::GetIOManager();
    ASSERT_TRUE(manager.IsIEProtectedMode());
    FileIOService* io = manager.GetFileIOService();
    ASSERT_NE(io, nullptr);
    // The broker's policy: outside the product's folders nothing is writable.
    EXPECT_FALSE(io->IsDestinationWritable("C:\\windows\\system32"));
    const DWORD refused = io->CreateDir("C:\\windows\\vesko-not-allowed");
    EXPECT_NE(refused, 0u) << Hex(refused);
    IOManager::ReleaseIOManager();

    ChooseMode(false);
    IOManager& direct = IOManager::GetIOManager();
    ASSERT_FALSE(direct.IsIEProtectedMode());
    EXPECT_TRUE(direct.GetFileIOService()->IsDestinationWritable("C:\\windows\\system32"));
    EXPECT_TRUE(direct.GetFileIOService()->IsDestinationWritable(""));
    IOManager::ReleaseIOManager();
}

// Takes the broker's LocalServer32 away for one scope.
class BrokerUnregistered {
  public:
    BrokerUnregistered() {
        m_ok = RegGetValueA(HKEY_LOCAL_MACHINE, kKey, nullptr, RRF_RT_REG_SZ, nullptr, m_command,
                            &m_size) == ERROR_SUCCESS &&
               RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey) == ERROR_SUCCESS;
    }
    ~BrokerUnregistered() {
        if (m_ok) {
            RegSetKeyValueA(HKEY_LOCAL_MACHINE, kKey, nullptr, REG_SZ, m_command,
                            static_cast<DWORD>(lstrlenA(m_command) + 1));
        }
    }
    bool Ok() const { return m_ok; }

  private:
    static constexpr const char* kKey =
        "Software\\Classes\\CLSID\\{2068FDF2-0BE6-47E8-B5C9-CCE78A2FCA9D}\\LocalServer32";
    char m_command[MAX_PATH * 2] = {};
    DWORD m_size = sizeof(m_command);
    bool m_ok = false;
};

TEST(EndToEnd, WithoutARegisteredBrokerTheServicesAreNull) {
    ChooseMode(true);
    {
        BrokerUnregistered gone;
        ASSERT_TRUE(gone.Ok()) << "the broker registration could be lifted";
        IOManager& manager = IOManager::GetIOManager();
        EXPECT_TRUE(manager.IsIEProtectedMode());
        EXPECT_EQ(manager.GetFileIOService(), nullptr);
        EXPECT_EQ(manager.GetFileDlgService(), nullptr);
        CDExpService* cd = manager.GetCDExpService();
        ASSERT_NE(cd, nullptr) << "a disc service is made all the same";
        EXPECT_FALSE(cd->IsValid());
        EXPECT_EQ(cd->ValidateDrive(), CD::eBrokerFailure);
        EXPECT_EQ(cd->SetDrive("C:\\"), CD::eBrokerFailure);
        IOManager::ReleaseIOManager();
    }
    IOManager& manager = IOManager::GetIOManager();
    EXPECT_NE(manager.GetFileIOService(), nullptr) << "registered again, a new manager has one";
    IOManager::ReleaseIOManager();
}

TEST(EndToEnd, AKilledBrokerFailsEveryCallInBoundedTimeAndANewManagerStartsAnother) {
    ChooseMode(true);
    const std::vector<DWORD> before = BrokerProcesses();
    IOManager& manager = IOManager::GetIOManager();
    FileIOService* io = manager.GetFileIOService();
    FileDlgService* dlg = manager.GetFileDlgService();
    ASSERT_NE(io, nullptr);
    CDExpService* cd = manager.GetCDExpService();
    const std::vector<DWORD> started = NewBrokers(before);
    ASSERT_EQ(started.size(), 1u) << "brokers started: " << BrokerSet(started);
    {
        vesko::UniqueHandle broker(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, started[0]));
        ASSERT_TRUE(broker);
        ASSERT_TRUE(TerminateProcess(broker.Get(), 9));
        WaitForSingleObject(broker.Get(), 5000);
    }

    const auto timed = [](const char* what, auto&& call) {
        const auto start = std::chrono::steady_clock::now();
        call();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        EXPECT_LT(ms, 10000) << what << " took " << ms << " ms";
    };
    const std::string base = std::string(io->GetWritableDir().GetString());
    timed("MoveFileLI", [&] {
        const DWORD r = io->MoveFileLI((base + "\\x").c_str(), (base + "\\y").c_str());
        EXPECT_TRUE(FAILED(static_cast<HRESULT>(r))) << Hex(r);
    });
    timed("RegistryHKCUSetValueDWord", [&] {
        const DWORD r = io->RegistryHKCUSetValueDWord("Software\\Cadra\\VeskoE2E", "v", 1);
        EXPECT_TRUE(FAILED(static_cast<HRESULT>(r))) << Hex(r);
    });
    timed("IsDestinationWritable", [&] { EXPECT_FALSE(io->IsDestinationWritable(base.c_str())); });
    timed("ShowFileDialog", [&] {
        CString path;
        std::vector<CString> files;
        const int r = dlg->ShowFileDialog(0, "", "", 0, "", nullptr, path, files);
        EXPECT_TRUE(r < 0 || r == IDCANCEL) << r;
    });
    timed("ValidateDrive", [&] { EXPECT_EQ(cd->ValidateDrive(), CD::eBrokerFailure); });
    timed("IsValid", [&] { EXPECT_FALSE(cd->IsValid()); });
    timed("GetCDExpService", [&] {
        CDExpService* again = manager.GetCDExpService();
        EXPECT_EQ(again->ValidateDrive(), CD::eBrokerFailure);
    });
    timed("ReleaseIOManager", [] { IOManager::ReleaseIOManager(); });

    const std::vector<DWORD> between = BrokerProcesses();
    IOManager& fresh = IOManager::GetIOManager();
    ASSERT_NE(fresh.GetFileIOService(), nullptr);
    const std::vector<DWORD> restarted = NewBrokers(between);
    EXPECT_EQ(restarted.size(), 1u)
        << "a new manager starts a new broker: " << BrokerSet(restarted);
    EXPECT_TRUE(fresh.GetFileIOService()->IsDestinationWritable(
        fresh.GetFileIOService()->GetWritableDir()));
    IOManager::ReleaseIOManager();
}

}  // namespace
