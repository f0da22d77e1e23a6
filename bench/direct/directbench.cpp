// Direct-mode file operations against the Win32 calls they perform, in one
// run: 1,000 folders created, 1,000 files moved, a 10,000-file tree deleted
// (against "cmd /c rd /s /q"). Rounds alternate between the two sides so
// that both see the same machine; the median round counts.
#include <windows.h>

#include <iomanager.h>
#include <fileioservice.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void MakeFiles(const std::string& folder, int count, int perFolder) {
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string sub;
    for (int i = 0; i < count; ++i) {
        if (i % perFolder == 0) {
            sub = folder + "\\d" + std::to_string(i / perFolder);
            CreateDirectoryA(sub.c_str(), nullptr);
        }
        HANDLE h = CreateFileA((sub + "\\f" + std::to_string(i) + ".dcm").c_str(), GENERIC_WRITE, 0,
                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
}

bool RunCmd(const std::string& commandLine) {
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

constexpr int kTreeRounds = 2;

struct Row {
    const char* name;
    double library;
    double raw;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    IOManager& manager = IOManager::GetIOManager();
    FileIOService* io = manager.GetFileIOService();
    if (!io || manager.IsIEProtectedMode()) {
        std::fprintf(stderr, "directbench needs the library in direct mode\n");
        return 1;
    }
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string root =
        std::string(temp) + "veskobench-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(root.c_str(), nullptr);
    // The raw side labels with the same low-integrity descriptor the library
    // builds for what it creates.
    PSECURITY_DESCRIPTOR label = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;WD)S:(ML;;NWNR;;;LW)",
                                                         SDDL_REVISION_1, &label, nullptr);

    std::vector<double> libCreate, rawCreate, libMove, rawMove, libDelete, rawDelete;
    for (int r = 0; r < rounds; ++r) {
        const std::string a = root + "\\lib" + std::to_string(r),
                          b = root + "\\raw" + std::to_string(r);
        CreateDirectoryA(a.c_str(), nullptr);
        CreateDirectoryA(b.c_str(), nullptr);
        // Paths are made before the clocks start: only the calls are timed.
        std::vector<CString> libFolders, libSources, libTargets;
        std::vector<std::string> rawFolders, rawSources, rawTargets;
        for (int i = 0; i < 1000; ++i) {
            const std::string c = "\\c" + std::to_string(i), n = "\\f" + std::to_string(i) + ".dcm";
            libFolders.emplace_back((a + c).c_str());
            rawFolders.push_back(b + c);
            libSources.emplace_back((a + "\\m\\d0" + n).c_str());
            libTargets.emplace_back((a + c + n).c_str());
            rawSources.push_back(b + "\\m\\d0" + n);
            rawTargets.push_back(b + c + n);
        }
        libCreate.push_back(Seconds([&] {
            for (const CString& p : libFolders)
                io->CreateDir(p);
        }));
        rawCreate.push_back(Seconds([&] {
            for (const std::string& p : rawFolders) {
                CreateDirectoryA(p.c_str(), nullptr);
                if (label)
                    SetFileSecurityA(p.c_str(), LABEL_SECURITY_INFORMATION, label);
            }
        }));
        for (const std::string& side : {a, b})
            MakeFiles(side + "\\m", 1000, 1000);
        libMove.push_back(Seconds([&] {
            for (size_t i = 0; i < libSources.size(); ++i)
                io->MoveFileLI(libSources[i], libTargets[i]);
        }));
        rawMove.push_back(Seconds([&] {
            for (size_t i = 0; i < rawSources.size(); ++i)
                MoveFileExA(
                    rawSources[i].c_str(), rawTargets[i].c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH);
        }));
        if (r < kTreeRounds) {  // Wine's rd takes most of a minute for such a tree
            MakeFiles(a + "\\tree", 10000, 100);
            MakeFiles(b + "\\tree", 10000, 100);
            libDelete.push_back(Seconds([&] { io->DeleteDirRecursively((a + "\\tree").c_str()); }));
            rawDelete.push_back(Seconds([&] { RunCmd("cmd /c rd /s /q \"" + b + "\\tree\""); }));
            if (GetFileAttributesA((a + "\\tree").c_str()) != INVALID_FILE_ATTRIBUTES ||
                GetFileAttributesA((b + "\\tree").c_str()) != INVALID_FILE_ATTRIBUTES) {
                std::fprintf(stderr, "a tree was not deleted\n");
                return 1;
            }
        }
        io->DeleteDirRecursively(a.c_str());
        io->DeleteDirRecursively(b.c_str());
    }
    io->DeleteDirRecursively(root.c_str());
    LocalFree(label);
    IOManager::ReleaseIOManager();

    const Row rows[] = {
        {"create 1,000 folders (CreateDir vs CreateDirectoryA + label)", Median(libCreate),
         Median(rawCreate)},
        {"move 1,000 files (MoveFileLI vs MoveFileExA)", Median(libMove), Median(rawMove)},
        {"delete a 10,000-file tree (DeleteDirRecursively vs rd /s /q)", Median(libDelete),
         Median(rawDelete)},
    };
    std::printf("%-64s %10s %10s %7s\n", "direct operation", "library s", "raw s", "ratio");
    bool within = true;
    for (const Row& row : rows) {
        const double ratio = row.library / row.raw;
        within &= ratio <= 1.10;
        std::printf("%-64s %10.4f %10.4f %7.3f\n", row.name, row.library, row.raw, ratio);
    }
    std::printf("median of %d rounds (%d for the tree); %s\n", rounds,
                std::min(rounds, kTreeRounds),
                within ? "every ratio within 1.10" : "a ratio above 1.10");
    return 0;
}
