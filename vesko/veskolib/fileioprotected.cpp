#include "fileioprotected.h"

#include <veskobroker.h>

#include "globalinterfacetable.h"
#include "multibytetobstr.h"
#include "veskosecurityattributes.h"

using vesko::ComPtr;
using vesko::MakeBstr;
using vesko::UniqueBstr;

namespace {

// A non-zero code written by the broker stands whatever its HRESULT; a call
// that did not return S_OK (S_FALSE included) and wrote no code reports its
// HRESULT instead, so a failure never reads as success.
DWORD ApplyCodeRule(HRESULT hr, DWORD code) {
    return (hr != S_OK && code == 0) ? static_cast<DWORD>(hr) : code;
}

// Fetches this thread's reference to IFileIOBroker, sends one call with the
// identity converted, and forms the result by the code rule. invoke converts
// the operation's own texts itself, after the identity, so that they are
// freed last made first.
template <typename Invoke>
DWORD CallForCode(const VeskoSecurityAttributes* pAttr, DWORD dwCookie, Invoke&& invoke) {
    if (!pAttr)
        return FileIOProtected::kReleasedResult;

    ComPtr<IFileIOBroker> broker;
    if (const HRESULT hr = GlobalInterfaceTable::Fetch(dwCookie, broker); FAILED(hr))
        return static_cast<DWORD>(hr);

    UniqueBstr identity = MakeBstr(pAttr->m_strIdentity);
    DWORD code = 0;
    const HRESULT hr = invoke(broker.Get(), identity.Get(), &code);
    return ApplyCodeRule(hr, code);
}

}  // namespace

FileIOProtected::FileIOProtected() : m_dwBrokerCookie(0) {}

FileIOProtected::~FileIOProtected() {
    GlobalInterfaceTable::Revoke(m_dwBrokerCookie);
}

DWORD FileIOProtected::MoveFileLI(const CString& strSource, const CString& strDestination) {
    return CallForCode(GetVeskoSecurityAttr(), m_dwBrokerCookie,
                       [&](IFileIOBroker* broker, BSTR identity, DWORD* code) {
                           UniqueBstr source = MakeBstr(strSource);
                           UniqueBstr destination = MakeBstr(strDestination);
                           return broker->MoveFileLI(identity, source.Get(), destination.Get(),
                                                     code);
                       });
}

DWORD FileIOProtected::CreateDir(const CString& strPath) {
    // An existing folder needs no broker round trip. A file of that name does
    // go to the broker, which reports the collision.
    const DWORD attributes = GetFileAttributesA(strPath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;

    return CallForCode(GetVeskoSecurityAttr(), m_dwBrokerCookie,
                       [&](IFileIOBroker* broker, BSTR identity, DWORD* code) {
                           UniqueBstr path = MakeBstr(strPath);
                           return broker->CreateDir(identity, path.Get(), code);
                       });
}

DWORD FileIOProtected::DeleteDirRecursively(const CString& strFolder) {
    return CallForCode(GetVeskoSecurityAttr(), m_dwBrokerCookie,
                       [&](IFileIOBroker* broker, BSTR identity, DWORD* code) {
                           UniqueBstr path = MakeBstr(strFolder);
                           return broker->DeleteDirRecursively(identity, path.Get(), code);
                       });
}

DWORD FileIOProtected::ReCreateFileLI(const CString& strPath) {
    return CallForCode(GetVeskoSecurityAttr(), m_dwBrokerCookie,
                       [&](IFileIOBroker* broker, BSTR identity, DWORD* code) {
                           UniqueBstr path = MakeBstr(strPath);
                           return broker->ReCreateFileLI(identity, path.Get(), code);
                       });
}

DWORD FileIOProtected::RegistryHKCUSetValueDWord(const CString& strKeyPath,
                                                 const CString& strValueName, DWORD dwValue) {
    return CallForCode(
        GetVeskoSecurityAttr(), m_dwBrokerCookie,
        [&](IFileIOBroker* broker, BSTR identity, DWORD* code) -> HRESULT {
            UniqueBstr subKey = MakeBstr(strKeyPath);
            UniqueBstr valueName = MakeBstr(strValueName);
            // The value travels as the four bytes REG_DWORD stores, least
            // significant first. Without the array there is nothing to send:
            // report the allocation failure rather than send a null array.
            vesko::UniqueSafeArray data(SafeArrayCreateVector(VT_UI1, 0, sizeof(DWORD)));
            if (!data)
                return E_OUTOFMEMORY;
            {
                vesko::SafeArrayAccess access(data.Get());
                if (FAILED(access.Result()))
                    return access.Result();
                CopyMemory(access.Data(), &dwValue, sizeof(DWORD));
            }
            return broker->RegistrySetValue(
                identity, static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER)),
                subKey.Get(), valueName.Get(), REG_DWORD, sizeof(DWORD), data.Get(), code);
        });
}

bool FileIOProtected::IsDestinationWritable(const CString& strPath) {
    const DWORD result =
        CallForCode(GetVeskoSecurityAttr(), m_dwBrokerCookie,
                    [&](IFileIOBroker* broker, BSTR identity, DWORD* code) {
                        UniqueBstr path = MakeBstr(strPath);
                        return broker->IsDestinationWritable(identity, path.Get(), code);
                    });
    return result == 0;
}

bool FileIOProtected::GetIEVersion(unsigned int& nMajor, unsigned int& nMinor,
                                   unsigned int& nBuild) {
    const VeskoSecurityAttributes* pAttr = GetVeskoSecurityAttr();
    if (!pAttr)
        return false;

    ComPtr<IFileIOBroker> broker;
    GlobalInterfaceTable::Fetch(m_dwBrokerCookie, broker);
    if (!broker)
        return false;

    UniqueBstr identity = MakeBstr(pAttr->m_strIdentity);
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = broker->GetIEVersion(identity.Get(), &nMajor, &nMinor, &nBuild, &ok);
    return hr == S_OK && ok != VARIANT_FALSE;
}

DWORD FileIOProtected::DisplayHelpFile(const CString& strArguments, HWND hOwner) {
    // Unlike the direct service, an empty name is not answered locally: the
    // broker decides what showing "nothing" means in its process.
    return CallForCode(GetVeskoSecurityAttr(), m_dwBrokerCookie,
                       [&](IFileIOBroker* broker, BSTR identity, DWORD* code) {
                           UniqueBstr helpFile = MakeBstr(strArguments);
                           return broker->DisplayHelpFile(identity, helpFile.Get(),
                                                          static_cast<DWORD>(HandleToLong(hOwner)),
                                                          code);
                       });
}
