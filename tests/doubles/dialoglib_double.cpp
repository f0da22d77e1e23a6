// DialogLib's exports, answering from a script instead of showing dialogs.
#include "dialoglib.h"

#include "doublecore.h"

#include <cstdlib>

using vesko::test::HandleField;
using vesko::test::PointerField;
using vesko::test::RecordCall;

int DoModalSaveImgDlg(const CString& title, const CString& initialFolder, long filterIndex,
                      const CString& fileName, const CString& defaultExtension, HWND owner,
                      HINSTANCE instance, long flags, CString& path, DWORD* chosenFilter,
                      DWORD* chosenFlags) {
    const auto answer =
        RecordCall("DoModalSaveImgDlg",
                   {title.GetString(), initialFolder.GetString(), std::to_string(filterIndex),
                    fileName.GetString(), defaultExtension.GetString(), HandleField(owner),
                    HandleField(instance), std::to_string(flags), path.GetString(),
                    PointerField(chosenFilter), PointerField(chosenFlags)});
    if (const std::string* value = answer.Find("path"))
        path = value->c_str();
    if (const std::string* value = answer.Find("filter"); value && chosenFilter)
        *chosenFilter = std::strtoul(value->c_str(), nullptr, 10);
    if (const std::string* value = answer.Find("flags"); value && chosenFlags)
        *chosenFlags = std::strtoul(value->c_str(), nullptr, 10);
    return answer.result;
}

int DoModalTrevoltFileDlg(int mode, const CString& defaultExtension, const CString& fileName,
                          DWORD flags, const CString& filter, HWND owner, CString& path,
                          std::vector<CString>& files) {
    const auto answer =
        RecordCall("DoModalTrevoltFileDlg",
                   {std::to_string(mode), defaultExtension.GetString(), fileName.GetString(),
                    std::to_string(flags), filter.GetString(), HandleField(owner), path.GetString(),
                    std::to_string(files.size())});
    if (const std::string* value = answer.Find("path"))
        path = value->c_str();
    for (const std::string& file : answer.All("file"))
        files.push_back(CString(file.c_str()));
    return answer.result;
}

int DoModalFolderDlg(HWND owner, const CString& title, CString& folder) {
    const auto answer =
        RecordCall("DoModalFolderDlg", {HandleField(owner), title.GetString(), folder.GetString()});
    if (const std::string* value = answer.Find("folder"))
        folder = value->c_str();
    return answer.result;
}
