// veskohost: a console host of VeskoLib. It loads the library the way a
// client application does and walks through every service.
//
//   veskohost walk       the whole walk (folders, files, registry, help, disc)
//   veskohost dialogs    shows the three dialogs (needs a person at a display)
//   veskohost auditlog   prints the broker's audit log from the log folder
#include <windows.h>

#include <iomanager.h>
#include <fileioservice.h>
#include <filedlgservice.h>
#include <vesko/raii.h>

#include "demowalk.h"
#include "resulttext.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int ShowDialogs() {
    IOManager& manager = IOManager::GetIOManager();
    FileDlgService* dialogs = manager.GetFileDlgService();
    if (!dialogs) {
        std::printf("no dialog service\n");
        IOManager::ReleaseIOManager();
        return 1;
    }
    // Title, initial folder (empty: the system's choice), format (3 = PNG),
    // proposed file name, default extension.
    CString chosen;
    DWORD filterIndex = 0, flags = 0;
    int result =
        dialogs->ShowSaveImageDialog("Save image", "", 3, "image.png", "png", nullptr,
                                     GetModuleHandleA(nullptr), 0, chosen, &filterIndex, &flags);
    std::printf("save image dialog: result %d, chosen \"%s\"\n", result, chosen.GetString());

    // Several files (mode 1), default extension, proposed name, flags, filter.
    CString folder;
    std::vector<CString> files;
    result = dialogs->ShowFileDialog(1, "dcm", "", 0,
                                     "DICOM images (*.dcm)|*.dcm|PNG images (*.png)|*.png||",
                                     nullptr, folder, files);
    std::printf("file dialog: result %d, folder \"%s\", %zu file(s)\n", result, folder.GetString(),
                files.size());
    for (const CString& f : files)
        std::printf("  %s\n", f.GetString());

    // Initial choice (2 = "Current image"), caption, prompt.
    CString selection;
    int printResult = 0;
    const HRESULT hr = dialogs->ShowPrintSelectionDialog(nullptr, 2, CString("Print images"),
                                                         "Which images do you want to print?",
                                                         selection, 0, &printResult);
    std::printf("print selection dialog: status %s, result %d, selection \"%s\"\n",
                veskohost::ResultText(static_cast<DWORD>(hr)).c_str(), printResult,
                selection.GetString());
    IOManager::ReleaseIOManager();
    return 0;
}

int PrintAuditLog() {
    IOManager& manager = IOManager::GetIOManager();
    FileIOService* io = manager.GetFileIOService();
    const std::string logDir = io ? io->GetLogDir().GetString() : "";
    IOManager::ReleaseIOManager();
    if (logDir.empty())
        return 1;
    WIN32_FIND_DATAA found;
    vesko::UniqueFindHandle find(FindFirstFileA((logDir + "\\*Broker*.log").c_str(), &found));
    if (!find) {
        std::printf("no broker audit log in %s\n", logDir.c_str());
        return 0;
    }
    do {
        const std::string path = logDir + "\\" + found.cFileName;
        std::printf("broker audit log %s (last records):\n", path.c_str());
        vesko::UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.Get() == INVALID_HANDLE_VALUE) {
            file.Release();
            continue;
        }
        std::string text;
        char buffer[8192];
        DWORD read = 0;
        while (ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read)
            text.append(buffer, read);
        // The last 40 records are enough to show the demo's calls.
        size_t start = text.size();
        for (int lines = 0; start > 0 && lines <= 40; --start)
            if (text[start - 1] == '\n')
                ++lines;
        std::printf("%s\n", text.c_str() + start);
    } while (FindNextFileA(find.Get(), &found));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "walk";
    // Protected mode needs the calling thread in a COM apartment; a host
    // enters one before it asks for the library's services.
    vesko::ComApartment apartment(COINIT_MULTITHREADED);
    if (command == "walk")
        return veskohost::DemoWalk().Run() ? 1 : 0;
    if (command == "dialogs")
        return ShowDialogs();
    if (command == "auditlog")
        return PrintAuditLog();
    std::fprintf(stderr, "usage: veskohost [walk|dialogs|auditlog]\n");
    return 2;
}
