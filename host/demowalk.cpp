#include "demowalk.h"

#include <iomanager.h>
#include <fileioservice.h>
#include <cdexpservice.h>

#include "discwatcher.h"
#include "resulttext.h"

#include <cstdio>
#include <string>
#include <vector>

namespace veskohost {

namespace {

const char kRegistryKey[] = "Software\\Norvane\\VeskoHostDemo";

// The demo host writes its own sample files directly, as a host does inside
// the folders that stay writable to it.
bool WriteSample(const std::string& path, size_t bytes, char fill) {
    vesko::UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        file.Release();
        return false;
    }
    std::vector<char> block(64 * 1024, fill);
    for (size_t left = bytes; left;) {
        const DWORD chunk = static_cast<DWORD>(left < block.size() ? left : block.size());
        DWORD written = 0;
        if (!WriteFile(file.Get(), block.data(), chunk, &written, nullptr) || written != chunk)
            return false;
        left -= chunk;
    }
    return true;
}

long long FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

void DemoWalk::Step(const char* what, DWORD code, DWORD expected, DWORD alsoAccepted) {
    const bool ok = code == expected || (alsoAccepted && code == alsoAccepted);
    if (!ok)
        ++m_failures;
    std::printf("  [%s] %-58s %s\n", ok ? " ok " : "FAIL", what, ResultText(code).c_str());
}

void DemoWalk::Check(const char* what, bool ok, const std::string& detail) {
    if (!ok)
        ++m_failures;
    std::printf("  [%s] %-58s %s\n", ok ? " ok " : "FAIL", what, detail.c_str());
}

int DemoWalk::Run() {
    IOManager& manager = IOManager::GetIOManager();
    std::printf("mode: %s\n", manager.IsIEProtectedMode()
                                  ? "protected (operations go through the broker)"
                                  : "direct (operations run in this process)");
    FileIOService* io = manager.GetFileIOService();
    if (!io || !manager.GetFileDlgService()) {
        std::printf(
            "  [FAIL] the library has no file I/O or dialog service (broker not available?)\n");
        IOManager::ReleaseIOManager();
        return 1;
    }
    PrintFolders(*io);
    m_writableDir = io->GetWritableDir().GetString();
    m_scratch = m_writableDir + "\\veskohost-demo-" + std::to_string(GetCurrentProcessId());
    FileSteps(*io);
    RegistrySteps(*io);
    HelpSteps(*io);
    if (CDExpService* disc = manager.GetCDExpService()) {
        DiscSteps(*disc);
        manager.ReleaseCDExpService();
    } else {
        Check("disc export service", false, "none");
    }
    Cleanup(*io);
    IOManager::ReleaseIOManager();
    std::printf("%s: %d step(s) with an unexpected result\n", m_failures ? "FAILED" : "done",
                m_failures);
    return m_failures;
}

void DemoWalk::PrintFolders(FileIOService& io) {
    io.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, "4.7.2");
    const struct {
        const char* name;
        CString value;
    } rows[] = {
        {"writable folder", io.GetWritableDir()},
        {"log folder", io.GetLogDir()},
        {"machine preference folder", io.GetMachinePrefDir()},
        {"per-user machine preference folder", io.GetUserMachinePrefDir()},
        {"export temporary folder", io.GetCadraExportTemp()},
        {"user activity log folder", io.GetUserActivityLogDir()},
        {"error folder", io.GetDumpDir()},
        {"zipped crash files folder", io.GetZipDir()},
        {"default dump folder", io.GetDefaultDumpDir()},
        {"user documents folder", io.GetUserDocDir()},
        {"company folder", io.GetNorvaneDir()},
        {"LE cache folder (version 4.7.2)", io.GetLECacheDir()},
    };
    std::printf("well-known folders:\n");
    for (const auto& row : rows)
        std::printf("  %-36s %s\n", row.name, row.value.GetString());
}

void DemoWalk::FileSteps(FileIOService& io) {
    std::printf("file system (scratch folder %s):\n", m_scratch.c_str());
    const CString scratch = m_scratch.c_str();
    Step("CreateDir scratch", io.CreateDir(scratch));
    Step("CreateDir scratch again (exists: 0)", io.CreateDir(scratch));
    Step("CreateDirRecursively scratch\\a\\b\\c\\",
         io.CreateDirRecursively(scratch + "\\a\\b\\c\\"));
    Check("  ... scratch\\a\\b\\c exists", Exists(m_scratch + "\\a\\b\\c"), "");
    // Wine has no mandatory labels: labelling answers 5 there.
    Step("SetFileSecurityLI scratch\\a (low label)", io.SetFileSecurityLI(scratch + "\\a"), 0,
         ERROR_ACCESS_DENIED);

    const std::string report = m_scratch + "\\a\\report.txt";
    Step("ReCreateFileLI scratch\\a\\report.txt", io.ReCreateFileLI(report.c_str()));
    WriteSample(report, 4096, 'r');
    Step("ReCreateFileLI again (truncates)", io.ReCreateFileLI(report.c_str()));
    Check("  ... report.txt size", FileSize(report) == 0,
          std::to_string(FileSize(report)) + " bytes");
    const std::string moved = m_scratch + "\\a\\b\\report-moved.txt";
    Step("MoveFileLI report.txt -> a\\b\\report-moved.txt",
         io.MoveFileLI(report.c_str(), moved.c_str()));
    Check("  ... moved file present, source gone", Exists(moved) && !Exists(report), moved);
    Check("IsDestinationWritable scratch", io.IsDestinationWritable(scratch), "true expected");

    CString writable;
    Step("GetWritableFile D:\\in\\veskohost-study.dcm",
         io.GetWritableFile("D:\\in\\veskohost-study.dcm", writable));
    Check("  ... writable copy", Exists(writable.GetString()), writable.GetString());

    const std::string series = m_scratch + "\\series";
    Step("CreateDir scratch\\series", io.CreateDir(series.c_str()));
    for (const char* name : {"img1.dcm", "img2.dcm", "imgX", "a.dcm"})
        WriteSample(series + "\\" + name, 1024, 'i');
    Step("DeleteDirContentRecursively series, prefix img",
         io.DeleteDirContentRecursively(series.c_str(), CString("img")));
    Check("  ... a.dcm kept, img* gone",
          Exists(series + "\\a.dcm") && !Exists(series + "\\img1.dcm"), "");
    Step("DeleteDirContentRecursively series, prefix zzz (none)",
         io.DeleteDirContentRecursively(series.c_str(), CString("zzz")), 0xFFFFFFFF);
    Step("DeleteDirContentRecursively scratch\\a", io.DeleteDirContentRecursively(scratch + "\\a"));
    Check("  ... scratch\\a kept and empty", Exists(m_scratch + "\\a") && !Exists(moved), "");
}

void DemoWalk::RegistrySteps(FileIOService& io) {
    std::printf("registry:\n");
    const DWORD value = GetTickCount();
    Step("RegistryHKCUSetValueDWord HKCU\\Software\\Norvane\\VeskoHostDemo",
         io.RegistryHKCUSetValueDWord(kRegistryKey, "LastWalk", value));
    DWORD read = 0, size = sizeof read, type = 0;
    const LSTATUS status = RegGetValueA(HKEY_CURRENT_USER, kRegistryKey, "LastWalk",
                                        RRF_RT_REG_DWORD, &type, &read, &size);
    Check("  ... value reads back", status == ERROR_SUCCESS && read == value,
          "read " + std::to_string(read) + ", wrote " + std::to_string(value));
    unsigned major = 0, minor = 0, build = 0;
    const bool ie = io.GetIEVersion(major, minor, build);
    std::printf(
        "  [info] %-58s %s\n", "GetIEVersion",
        ie ? (std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build))
                 .c_str()
           : "not recorded on this machine");
}

void DemoWalk::HelpSteps(FileIOService& io) {
    std::printf("help viewer:\n");
    // The help file ships beside the host, in a folder the host cannot write
    // to: the broker shows help only from such places.
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string help = exe;
    help = help.substr(0, help.find_last_of('\\')) + "\\veskohost.chm";
    Step("DisplayHelpFile veskohost.chm (starts hh.exe)",
         io.DisplayHelpFile(help.c_str(), nullptr));
    Step("DisplayHelpFile ...chm::/intro.htm (ends the first viewer)",
         io.DisplayHelpFile((help + "::/intro.htm").c_str(), nullptr));
    // The viewer still open is ended when the library releases its worker.
}

void DemoWalk::DiscSteps(CDExpService& disc) {
    std::printf("disc export (virtual recorder):\n");
    DiscWatcher watcher;
    disc.AddObserver(&watcher);
    const std::string recorder = m_scratch + "\\recorder";
    CreateDirectoryA(recorder.c_str(), nullptr);
    const std::string drive = recorder + "?size=67108864";  // a 64 MiB disc
    auto discStep = [&](const char* what, CD::EError error, CD::EError expected = CD::eOK) {
        const bool ok = error == expected;
        if (!ok)
            ++m_failures;
        std::printf("  [%s] %-58s %s\n", ok ? " ok " : "FAIL", what, DiscResultText(error).c_str());
    };
    discStep("SetDrive <scratch>\\recorder?size=64MiB", disc.SetDrive(drive.c_str()));
    CString selected;
    discStep("GetDrive", disc.GetDrive(selected));
    std::printf("         drive: %s\n", selected.GetString());
    discStep("ValidateDrive", disc.ValidateDrive());
    unsigned long long space = 0;
    discStep("GetDriveAvailSpace", disc.GetDriveAvailSpace(space));
    std::printf("         free: %llu bytes\n", space);

    watcher.Reset();
    disc.StartGetDriveAvailSpace();
    const bool answered = watcher.WaitForEnd(10000);
    Check("StartGetDriveAvailSpace answers by event", answered,
          std::to_string(watcher.LastValue()) + " KiB free");

    const std::string sample = m_scratch + "\\sample";
    CreateDirectoryA(sample.c_str(), nullptr);
    CreateDirectoryA((sample + "\\series1").c_str(), nullptr);
    bool written = true;
    for (int i = 0; i < 12; ++i)
        written &= WriteSample(
            sample + (i % 2 ? "\\series1" : "") + "\\image" + std::to_string(i) + ".dcm",
            2 * 1024 * 1024, static_cast<char>('a' + i));
    Check("sample folder of 24 MiB written", written, sample);

    watcher.Reset();
    disc.StartBurn(sample.c_str(), true);
    const bool burnt = watcher.WaitForEnd(120000);
    Check("StartBurn sample folder (with verify)", burnt && watcher.LastResult() == CD::eOK,
          DiscResultText(watcher.LastResult()) + ", " + std::to_string(watcher.ProgressEvents()) +
              " progress events");
    Check("  ... disc holds the sample",
          Exists(recorder + "\\sample\\series1\\image1.dcm") ||
              Exists(recorder + "\\series1\\image1.dcm"),
          recorder);
    discStep("GetDriveAvailSpace after burning", disc.GetDriveAvailSpace(space));
    std::printf("         free: %llu bytes\n", space);

    watcher.Reset();
    disc.StartErase(false);
    const bool erased = watcher.WaitForEnd(60000);
    Check("StartErase", erased && watcher.LastResult() == CD::eOK,
          DiscResultText(watcher.LastResult()));

    // The same study into a disc image that any burner or virtual drive takes.
    // It stays in the writable folder after the walk, for a look inside.
    std::printf("disc export (image file):\n");
    const std::string image = m_writableDir + "\\veskohost-export.iso";
    discStep("SetDrive <writable>\\veskohost-export.iso?cd-rw",
             disc.SetDrive((image + "?cd-rw").c_str()));
    watcher.Reset();
    disc.StartErase(true);  // the previous walk's image, if any
    const bool blanked = watcher.WaitForEnd(60000);
    Check("StartErase (the previous walk's image goes)", blanked && watcher.LastResult() == CD::eOK,
          DiscResultText(watcher.LastResult()));
    discStep("GetDriveAvailSpace on the blank CD-RW", disc.GetDriveAvailSpace(space));
    std::printf("         free: %llu bytes (%llu sectors)\n", space, space / 2048);
    watcher.Reset();
    disc.StartBurn(sample.c_str(), true);
    const bool imaged = watcher.WaitForEnd(120000);
    Check("StartBurn sample folder into the image (with verify)",
          imaged && watcher.LastResult() == CD::eOK,
          DiscResultText(watcher.LastResult()) + ", " + std::to_string(watcher.ProgressEvents()) +
              " progress events");
    WIN32_FILE_ATTRIBUTE_DATA info{};
    const bool present = GetFileAttributesExA(image.c_str(), GetFileExInfoStandard, &info) != 0;
    const unsigned long long bytes =
        (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    Check("  ... image written", present && bytes > 0,
          image + ", " + std::to_string(bytes / 2048) + " sectors");
    watcher.Reset();
    disc.StartBurn(sample.c_str(), false);
    // The result is read once the job has ended: the message and the test
    // must see the same one.
    const bool refused = watcher.WaitForEnd(60000);
    Check("  ... a second burn onto the closed disc is refused",
          refused && watcher.LastResult() == CD::eMediaNotBlank,
          DiscResultText(watcher.LastResult()));
    disc.RemoveObserver(&watcher);
}

void DemoWalk::Cleanup(FileIOService& io) {
    std::printf("clean-up:\n");
    Step("DeleteDirRecursively scratch", io.DeleteDirRecursively(m_scratch.c_str()));
    Check("  ... scratch gone", !Exists(m_scratch), m_scratch);
    Step("DeleteDirContentRecursively writable, prefix veskohost-study",
         io.DeleteDirContentRecursively(m_writableDir.c_str(), CString("veskohost-study")));
    const LSTATUS status = RegDeleteKeyA(HKEY_CURRENT_USER, kRegistryKey);
    Step("remove HKCU\\Software\\Norvane\\VeskoHostDemo", static_cast<DWORD>(status));
}

}  // namespace veskohost
