// ReportLib: print dialogs.
#pragma once

#include <afxstr.h>

#if defined(REPORTLIB_BUILD)
#define REPORTLIB_API __declspec(dllexport)
#else
#define REPORTLIB_API __declspec(dllimport)
#endif

// Asks which images to print: "All images", "Selected images" or "Current
// image". choice is the one selected initially (0, 1, 2 in that order;
// anything else selects the first); caption is the dialog's title (empty:
// "Print"); prompt is a line shown above the choices. Returns IDOK with the
// chosen name in result, IDCANCEL (result unchanged), or -1 when the dialog
// could not be shown.
REPORTLIB_API int DoModalPrintSelDialog(HWND owner, int choice, CString caption,
                                        const CString& prompt, CString& result);
