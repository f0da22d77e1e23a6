// The dialog methods of the broker (IFileDlgBroker). The dialogs of DialogLib
// and ReportLib run in the broker's process, each on a thread of its own in a
// single-threaded apartment (the shell's dialogs require one; the broker's
// call threads are in the multithreaded apartment).
//
// What the user picks widens the path policy for the rest of the broker's
// life: a file chosen in a save dialog (save-image, or file dialog mode 2) is
// granted as that one file, a folder chosen in the folder dialog as its whole
// tree. Files chosen to be opened are not granted: the host reads them
// itself and needs the broker for nothing there. A pick is granted only where
// a policy root could be: no whole drive, no system folder or folder holding
// one, nothing inside the Windows folder, Program Files or the broker's own
// folders, judged by where the pick really leads.
//
// Handles from the host: the owner window is used when it names a window of
// this session (window handles are global); a module instance handle of
// another process means nothing here and is replaced by none, and with it the
// dialog template and hook flags that would need it.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace vesko::broker {

class BrokerContext;

class DialogOperations {
  public:
    explicit DialogOperations(BrokerContext& context);

    HRESULT ShowFileDialog(int mode, BSTR text1, BSTR text2, BSTR text3, DWORD flags,
                           DWORD ownerWindow, BSTR* chosenPath, BSTR* chosenFiles, int* result);
    HRESULT ShowSaveImageDialog(BSTR text1, BSTR text2, BSTR text3, BSTR text4, long number1,
                                DWORD ownerWindow, DWORD moduleInstance, long number2,
                                BSTR* resultText, DWORD* value1, DWORD* value2, int* result);
    HRESULT ShowFolderDialog(DWORD ownerWindow, BSTR title, BSTR* folder, int* result);
    HRESULT ShowPrintSelectionDialog(DWORD ownerWindow, int number, BSTR text, BSTR* resultText,
                                     DWORD brokerValue, int* result);

  private:
    // Grants path (a folder's tree, or one file) unless the rules of a root
    // refuse it; the refusal, or empty when granted.
    std::string Grant(const char* path, bool tree);
    void AuditPick(const char* operation, const std::string& arguments, const std::string& result,
                   const char* path, bool tree);

    BrokerContext& m_context;
};

}  // namespace vesko::broker
