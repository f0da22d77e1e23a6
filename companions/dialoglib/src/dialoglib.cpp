#include "dialoglib.h"

#include <vesko/raii.h>

#include <commdlg.h>
#include <shlobj.h>

#include <string>

namespace {

// Room for many file names in one multiple selection.
constexpr DWORD kFileBufferSize = 64 * 1024;

const char kImageFilters[] =
    "JPEG image (*.jpg;*.jpeg)\0*.jpg;*.jpeg\0"
    "Bitmap (*.bmp)\0*.bmp\0"
    "PNG image (*.png)\0*.png\0"
    "TIFF image (*.tif;*.tiff)\0*.tif;*.tiff\0"
    "DICOM image (*.dcm)\0*.dcm\0";

const char* OrNull(const CString& text) {
    return text.IsEmpty() ? nullptr : text.GetString();
}

// "A|*.a|B|*.b||" into the dialog's "A\0*.a\0B\0*.b\0\0".
std::string DialogFilter(const CString& filter) {
    if (filter.IsEmpty())
        return std::string("All files (*.*)\0*.*\0", 21) + '\0';
    std::string out(filter.GetString());
    for (char& c : out)
        if (c == '|')
            c = '\0';
    out.append(2, '\0');
    return out;
}

std::string FileBuffer(const CString& initial) {
    std::string buffer(kFileBufferSize, '\0');
    lstrcpynA(&buffer[0], initial.GetString(), static_cast<int>(buffer.size()));
    return buffer;
}

int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM, LPARAM data) {
    if (message == BFFM_INITIALIZED && data)
        SendMessageA(window, BFFM_SETSELECTIONA, TRUE, data);
    return 0;
}

}  // namespace

int DoModalSaveImgDlg(const CString& title, const CString& initialFolder, long filterIndex,
                      const CString& fileName, const CString& defaultExtension, HWND owner,
                      HINSTANCE instance, long flags, CString& path, DWORD* chosenFilter,
                      DWORD* chosenFlags) {
    std::string file = FileBuffer(fileName);
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.hInstance = instance;
    ofn.lpstrFilter = kImageFilters;
    ofn.nFilterIndex = filterIndex > 0 ? static_cast<DWORD>(filterIndex) : 1;
    ofn.lpstrFile = &file[0];
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = OrNull(initialFolder);
    ofn.lpstrTitle = OrNull(title);
    ofn.lpstrDefExt = OrNull(defaultExtension);
    ofn.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR |
                static_cast<DWORD>(flags);
    if (!GetSaveFileNameA(&ofn))
        return IDCANCEL;
    path = file.c_str();
    if (chosenFilter)
        *chosenFilter = ofn.nFilterIndex;
    if (chosenFlags)
        *chosenFlags = ofn.Flags;
    return IDOK;
}

int DoModalTrevoltFileDlg(int mode, const CString& defaultExtension, const CString& fileName,
                          DWORD flags, const CString& filter, HWND owner, CString& path,
                          std::vector<CString>& files) {
    if (mode < 0 || mode > 2)
        return -1;
    const std::string filters = DialogFilter(filter);
    std::string file = FileBuffer(fileName);
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filters.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = &file[0];
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrDefExt = OrNull(defaultExtension);
    ofn.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | flags;
    if (mode == 2) {
        ofn.Flags |= OFN_OVERWRITEPROMPT;
        if (!GetSaveFileNameA(&ofn))
            return IDCANCEL;
        path = file.c_str();
        return IDOK;
    }
    ofn.Flags |= OFN_FILEMUSTEXIST;
    if (mode == 1)
        ofn.Flags |= OFN_ALLOWMULTISELECT;
    if (!GetOpenFileNameA(&ofn))
        return IDCANCEL;
    if (mode == 0) {
        path = file.c_str();
        return IDOK;
    }
    // Several files come as "folder\0name\0name\0\0"; a single one as its
    // full path, the name starting at nFileOffset.
    if (ofn.nFileOffset > 0 && file[ofn.nFileOffset - 1] == '\0') {
        const std::string folder = file.c_str();
        path = folder.c_str();
        const std::string prefix = folder.back() == '\\' ? folder : folder + "\\";
        for (const char* name = &file[ofn.nFileOffset]; *name; name += lstrlenA(name) + 1)
            files.push_back(CString((prefix + name).c_str()));
    } else {
        const std::string full = file.c_str();
        std::string folder = full.substr(0, ofn.nFileOffset);
        if (folder.size() > 3 && folder.back() == '\\')
            folder.pop_back();  // keep "C:\"
        path = folder.c_str();
        files.push_back(CString(full.c_str()));
    }
    return IDOK;
}

int DoModalFolderDlg(HWND owner, const CString& title, CString& folder) {
    // The resizable chooser needs a single-threaded apartment; on a thread
    // already in the multithreaded one, the classic chooser is used.
    vesko::ComApartment apartment(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const bool newStyle = SUCCEEDED(apartment.Result());
    char display[MAX_PATH] = {};
    const std::string initial = folder.GetString();
    BROWSEINFOA info = {};
    info.hwndOwner = owner;
    info.pszDisplayName = display;
    info.lpszTitle = OrNull(title);
    info.ulFlags = BIF_RETURNONLYFSDIRS | (newStyle ? BIF_NEWDIALOGSTYLE : 0);
    info.lpfn = BrowseCallback;
    info.lParam = initial.empty() ? 0 : reinterpret_cast<LPARAM>(initial.c_str());
    vesko::UniqueCoTaskMem chosen(SHBrowseForFolderA(&info));
    if (!chosen)
        return IDCANCEL;
    char path[MAX_PATH] = {};
    if (!SHGetPathFromIDListA(static_cast<PCIDLIST_ABSOLUTE>(chosen.Get()), path))
        return IDCANCEL;
    folder = path;
    return IDOK;
}
