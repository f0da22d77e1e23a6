// The file methods of the broker (IFileIOBroker): each checks the caller's
// identity and the path or registry policy, performs the operation with the
// library's own worker, writes the Win32 result code and leaves one audit
// record. A refused call writes ERROR_ACCESS_DENIED and touches nothing.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "helpviewer.h"
#include "pathpolicy.h"

namespace vesko::broker {

class BrokerContext;

class FileOperations {
  public:
    explicit FileOperations(BrokerContext& context);

    HRESULT CreateDir(BSTR identity, BSTR path, DWORD* code);
    HRESULT MoveFileLI(BSTR identity, BSTR source, BSTR destination, DWORD* code);
    HRESULT ReCreateFileLI(BSTR identity, BSTR path, DWORD* code);
    HRESULT DeleteDirRecursively(BSTR identity, BSTR path, DWORD* code);
    HRESULT IsDestinationWritable(BSTR identity, BSTR path, DWORD* code);
    HRESULT RegistrySetValue(BSTR identity, DWORD rootKey, BSTR subKey, BSTR valueName,
                             DWORD valueType, DWORD dataLength, SAFEARRAY* data, DWORD* code);
    HRESULT GetIEVersion(BSTR identity, UINT* major, UINT* minor, UINT* build, VARIANT_BOOL* ok);
    HRESULT DisplayHelpFile(BSTR identity, BSTR helpFile, DWORD ownerWindow, DWORD* code);

    // Closes the help viewer (the broker is ending).
    void Shutdown();

  private:
    // A one-path method: identity, then the path policy for use, then
    // work(path in the ANSI code page) writes the code; one audit record.
    template <typename Work>
    HRESULT OnePath(BSTR identity, const char* operation, BSTR path, PathUse use, DWORD* code,
                    Work&& work);

    BrokerContext& m_context;
    HelpViewer m_help;
};

}  // namespace vesko::broker
