// DialogLib's exports, answering from a script instead of showing dialogs.
#include "dialoglib.h"

#include "dialogdouble.h"

using vesko::test::HandleField;
using vesko::test::RecordCall;

int DoModalSaveImgDlg(const CString& title, const CString& initialFolder, long filterIndex,
                      const CString& fileName, const CString& defaultExtension, HWND owner,
                      HINSTANCE instance, long flags, CString& path, DWORD* chosenFilter,
                      DWORD* chosenFlags) {
    const auto [result, outs] =
        RecordCall("DoModalSaveImgDlg",
                   {title.GetString(), initialFolder.GetString(), std::to_string(filterIndex),
                    fileName.GetString(), defaultExtension.GetString(), HandleField(owner),
                    HandleField(instance), std::to_string(flags), path.GetString(),
                    chosenFilter ? "ptr" : "null", chosenFlags ? "ptr" : "null"});
    for (const auto& [key, value] : outs) {
        DWORD* number = key == "filter" ? chosenFilter : key == "flags" ? chosenFlags : nullptr;
        if (key == "path")
            path = value.c_str();
        else if (number)
            *number = std::strtoul(value.c_str(), nullptr, 10);
    }
    return result;
}

int DoModalTrevoltFileDlg(int mode, const CString& defaultExtension, const CString& fileName,
                          DWORD flags, const CString& filter, HWND owner, CString& path,
                          std::vector<CString>& files) {
    const auto [result, outs] =
        RecordCall("DoModalTrevoltFileDlg",
                   {std::to_string(mode), defaultExtension.GetString(), fileName.GetString(),
                    std::to_string(flags), filter.GetString(), HandleField(owner), path.GetString(),
                    std::to_string(files.size())});
    for (const auto& [key, value] : outs) {
        if (key == "path")
            path = value.c_str();
        else if (key == "file")
            files.emplace_back(value.c_str());
    }
    return result;
}

int DoModalFolderDlg(HWND owner, const CString& title, CString& folder) {
    const auto [result, outs] =
        RecordCall("DoModalFolderDlg", {HandleField(owner), title.GetString(), folder.GetString()});
    for (const auto& [key, value] : outs)
        if (key == "folder")
            folder = value.c_str();
    return result;
}
