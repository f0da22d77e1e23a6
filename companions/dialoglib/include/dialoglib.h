// DialogLib: modal file dialogs. Each function shows its dialog on the
// calling thread and returns IDOK when the user confirmed, IDCANCEL when
// not (then no out argument changes).
#pragma once

#include <afxstr.h>

#include <vector>

#if defined(DIALOGLIB_BUILD)
#define DIALOGLIB_API __declspec(dllexport)
#else
#define DIALOGLIB_API __declspec(dllimport)
#endif

// Save-image dialog offering the image formats (1 JPEG, 2 Bitmap, 3 PNG,
// 4 TIFF, 5 DICOM). Arguments: title; initial folder (empty: the system's
// choice); initially selected format, 1-based (0: the first); proposed file
// name; default extension, without dot, appended when the user types none;
// owner window; instance whose dialog template extends the dialog (used
// with OFN_ENABLETEMPLATE among the flags); extra OFN_* flags; out: the
// chosen path; out if not null: the chosen format's number; out if not
// null: the dialog's final OFN_* flags (OFN_EXTENSIONDIFFERENT and so on).
DIALOGLIB_API int DoModalSaveImgDlg(const CString& title, const CString& initialFolder,
                                    long filterIndex, const CString& fileName,
                                    const CString& defaultExtension, HWND owner, HINSTANCE instance,
                                    long flags, CString& path, DWORD* chosenFilter,
                                    DWORD* chosenFlags);

// File dialog, in the order of the framework's file dialog. mode 0: open one
// file, path = that file. mode 1: open several, path = their folder and each
// chosen file's full path is appended to files (the vector is not cleared).
// mode 2: save, path = the file. Other modes return -1. The default
// extension (without dot) is appended to a name typed without one; fileName
// is proposed initially; flags are extra OFN_* flags; filter is the
// framework's "Text (*.txt)|*.txt|All (*.*)|*.*||" form (empty: all files).
DIALOGLIB_API int DoModalTrevoltFileDlg(int mode, const CString& defaultExtension,
                                        const CString& fileName, DWORD flags, const CString& filter,
                                        HWND owner, CString& path, std::vector<CString>& files);

// Folder chooser. folder holds the initial selection (may be empty) and
// receives the chosen folder.
DIALOGLIB_API int DoModalFolderDlg(HWND owner, const CString& title, CString& folder);
