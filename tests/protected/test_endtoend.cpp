// The library as a host uses it, through IOManager, in protected mode (the
// stand-in ieframe.dll says so) with the real broker process, and the same
// walk in direct mode for comparison.
#include <gtest/gtest.h>

#include <vesko/raii.h>

#include <cdexpservice.h>
#include <map>
#include <string>
#include <vector>

#include "dialogdouble.h"
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

// The parts joined by blanks, in order (a braced list is evaluated in order).
std::string Join(const std::vector<std::string>& parts) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i ? " " : "") + parts[i];
    return text;
}

// The walk a host makes: folders, files, registry, dialogs, a burn. Every
// observable result goes into the outcome, which depends on the mode only
// where the broker's policy stands between.
Outcome Walk(bool bProtected) {
    Outcome out;
    ChooseMode(bProtected);
    ScratchDir dialogs("dlg"), outside("e2e");
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
        IOManager::ReleaseIOManager();
        return out;
    }
    out["folders"] = std::string(io->GetWritableDir()) + ";" + std::string(io->GetLogDir()) + ";" +
                     std::string(io->GetUserDocDir());

    const std::string base =
        std::string(io->GetWritableDir()) + "\\e2e-" + std::to_string(GetCurrentProcessId());
    RemoveTree(base);
    out["createdir"] = Num(io->CreateDir(base.c_str()));
    out["writable"] = Num(io->IsDestinationWritable(base.c_str()));
    out["outside-writable"] = Join({Num(io->IsDestinationWritable("C:\\windows\\system32")),
                                    Num(io->IsDestinationWritable(""))});
    out["outside-createdir"] =
        Join({Num(io->CreateDir((outside / "made").c_str())), Num(IsDir(outside / "made"))});
    out["outside-registry"] = Num(io->RegistryHKCUSetValueDWord("Software\\VeskoOutside", "v", 1));
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\VeskoOutside");
    const std::string file = base + "\\a.txt", moved = base + "\\b.txt";
    WriteFileText(file, "contents");
    out["move"] = Join({Num(io->MoveFileLI(file.c_str(), moved.c_str())), ReadFileText(moved)});
    out["move-missing"] = Num(io->MoveFileLI(file.c_str(), (base + "\\c.txt").c_str()));
    out["createdir-on-file"] = Join({Num(io->CreateDir(moved.c_str())), Num(IsDir(moved))});
    out["recreate"] =
        Join({Num(io->ReCreateFileLI(moved.c_str())), Num(Exists(moved)) + ReadFileText(moved)});
    out["registry"] =
        Num(io->RegistryHKCUSetValueDWord("Software\\Cadra\\VeskoE2E", "Mode", 0x12345678));
    DWORD value = 0, size = sizeof(value);
    RegGetValueA(HKEY_CURRENT_USER, "Software\\Cadra\\VeskoE2E", "Mode", RRF_RT_REG_DWORD, nullptr,
                 &value, &size);
    out["registry-value"] = Num(value);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Cadra\\VeskoE2E");
    out["help-empty"] = Num(io->DisplayHelpFile("", nullptr));
    unsigned int v1 = 0, v2 = 0, v3 = 0;
    out["ieversion"] =
        Join({Num(io->GetIEVersion(v1, v2, v3)), Num(v1) + "." + Num(v2) + "." + Num(v3)});

    CString path;
    std::vector<CString> files = {"earlier"};
    out["filedlg"] = Join({Num(dlg->ShowFileDialog(1, "dcm", "", 0, "*.dcm", nullptr, path, files)),
                           std::string(path)});
    for (const CString& f : files)
        out["filedlg-files"] += std::string(f) + ";";
    CString saved;
    DWORD filter = 0, flags = 0;
    out["savedlg"] =
        Join({Num(dlg->ShowSaveImageDialog("Save", "C:\\out", 1, "image", "png", nullptr, nullptr,
                                           0, saved, &filter, &flags)),
              std::string(saved), Num(filter)});
    CString printText;
    int printResult = 0;
    out["printdlg"] = Join({Num(dlg->ShowPrintSelectionDialog(nullptr, 2, "caption", "prompt",
                                                              printText, 0, &printResult)),
                            Num(printResult), std::string(printText)});
    // What the dialogs were given, wherever they ran. The broker fills a
    // files vector of its own and shows the print dialog's own caption.
    for (DoubleCall call : dialog.Calls()) {
        const size_t own = call.function == "DoModalTrevoltFileDlg"   ? 7
                           : call.function == "DoModalPrintSelDialog" ? 2
                                                                      : call.args.size();
        if (own < call.args.size())
            call.args[own] = "-";
        out["dialog-calls"] += Join({call.function, Join(call.args), "; "});
    }

    // A burn on the virtual recorder, with its events.
    const std::string disc = base + "\\disc", source = base + "\\image.bin";
    CreateDirectoryA(disc.c_str(), nullptr);
    WriteFileText(source, std::string(300 * 1024, 'x'));
    CDExpService* cd = manager.GetCDExpService();
    DiscEventLog events;
    cd->AddObserver(&events);
    out["setdrive"] = Num(cd->SetDrive((disc + "?size=10485760").c_str()));
    CString drive;
    out["getdrive"] = Join({Num(cd->GetDrive(drive)), std::string(drive)});
    out["validate"] = Join({Num(cd->ValidateDrive()), Num(cd->IsValid())});
    unsigned long long space = 0;
    out["space"] = Join({Num(cd->GetDriveAvailSpace(space)), Num(space)});
    cd->StartBurn(source.c_str(), true);
    out["burn"] = events.WaitFinished();
    out["burned"] = Num(ReadFileText(disc + "\\image.bin").size());
    cd->RemoveObserver(&events);
    manager.ReleaseCDExpService();

    out["deletedir"] = Join({Num(io->DeleteDirRecursively(base.c_str())), Num(Exists(base))});
    IOManager::ReleaseIOManager();
    return out;
}

TEST(EndToEnd, TheSameWalkGivesTheSameResultsInBothModes) {
    const Outcome direct = Walk(false);
    const Outcome brokered = Walk(true);
    ASSERT_EQ(brokered.size(), direct.size()) << "protected mode has both services";
    // The direct result of a row, and after a '|' the protected one where it differs.
    const Outcome expected = {
        {"mode", "direct|protected"},
        {"createdir", "0"},
        {"writable", "1"},
        {"outside-writable", "1 1|0 0"},
        {"outside-createdir", "0 1|" + Num(ERROR_ACCESS_DENIED) + " 0"},
        {"outside-registry", "0|" + Num(ERROR_ACCESS_DENIED)},
        {"move", "0 contents"},
        {"move-missing", Num(ERROR_FILE_NOT_FOUND)},
        {"recreate", "0 1"},
        {"registry-value", Num(0x12345678)},
        {"help-empty", "0"},
        {"filedlg", Num(IDOK) + " C:\\studies"},
        {"filedlg-files", "earlier;C:\\studies\\a.dcm;C:\\studies\\b.dcm;"},
        {"savedlg", Num(IDOK) + " C:\\out\\image.png 3"},
        {"printdlg", "0 7 all pages"},
        {"burn", "1:0 4:2,300,300 5:1,0 6:1"},  // progress: kind, KiB done, KiB total
        {"burned", Num(300 * 1024)},
        {"deletedir", "0 0"},
    };
    for (const auto& [key, value] : direct) {
        const auto row = expected.find(key);
        const std::string want = row == expected.end() ? value : row->second;
        const size_t bar = want.find('|');
        EXPECT_EQ(value, want.substr(0, bar)) << "direct, row " << key;
        EXPECT_EQ(brokered.at(key), bar == std::string::npos ? want : want.substr(bar + 1))
            << "protected, row " << key;
    }
}

TEST(EndToEnd, WithoutARegisteredBrokerTheServicesAreNull) {
    ChooseMode(true);
    {
        BrokerUnregistered gone;
        ASSERT_TRUE(gone.ok) << "the broker registration could be lifted";
        IOManager& manager = IOManager::GetIOManager();
        EXPECT_TRUE(manager.IsIEProtectedMode());
        ExpectNoBrokerServices(manager.GetFileIOService(), manager.GetFileDlgService(),
                               manager.GetCDExpService());
        IOManager::ReleaseIOManager();
    }
    EXPECT_NE(IOManager::GetIOManager().GetFileIOService(), nullptr) << "registered again";
    IOManager::ReleaseIOManager();
}

TEST(EndToEnd, AKilledBrokerFailsEveryCallInBoundedTimeAndANewManagerStartsAnother) {
    ChooseMode(true);
    const std::vector<DWORD> before = BrokerProcesses();
    IOManager& manager = IOManager::GetIOManager();
    FileIOService* io = manager.GetFileIOService();
    FileDlgService* dlg = manager.GetFileDlgService();
    ASSERT_NE(io, nullptr);
    ASSERT_NE(dlg, nullptr);
    CDExpService* cd = manager.GetCDExpService();
    ASSERT_TRUE(Kill(NewBroker(before)));

    const auto failsSoon = [](const char* name, const auto& call) {
        const ULONGLONG start = GetTickCount64();
        EXPECT_TRUE(call()) << name << " did not fail";
        EXPECT_LT(GetTickCount64() - start, 10000u) << name << " took too long";
    };
    const std::string base(io->GetWritableDir());
    failsSoon("MoveFileLI", [&] {
        return FAILED(HRESULT(io->MoveFileLI((base + "\\x").c_str(), (base + "\\y").c_str())));
    });
    failsSoon("RegistryHKCUSetValueDWord", [&] {
        return FAILED(HRESULT(io->RegistryHKCUSetValueDWord("Software\\Cadra\\VeskoE2E", "v", 1)));
    });
    failsSoon("IsDestinationWritable", [&] { return !io->IsDestinationWritable(base.c_str()); });
    failsSoon("ShowFileDialog", [&] {
        CString path;
        std::vector<CString> files;
        const int r = dlg->ShowFileDialog(0, "", "", 0, "", nullptr, path, files);
        return r < 0 || r == IDCANCEL;
    });
    failsSoon("ValidateDrive", [&] { return cd->ValidateDrive() == CD::eBrokerFailure; });
    failsSoon("IsValid", [&] { return !cd->IsValid(); });
    failsSoon("GetCDExpService",
              [&] { return manager.GetCDExpService()->ValidateDrive() == CD::eBrokerFailure; });
    failsSoon("ReleaseIOManager", [] { return IOManager::ReleaseIOManager(), true; });

    const std::vector<DWORD> between = BrokerProcesses();
    FileIOService* fresh = IOManager::GetIOManager().GetFileIOService();
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(NewBroker(between), 0u) << "a new manager starts a new broker";
    EXPECT_TRUE(fresh->IsDestinationWritable(fresh->GetWritableDir()));
    IOManager::ReleaseIOManager();
}

}  // namespace
