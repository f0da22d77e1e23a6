#include "brokerobject.h"

#include <new>
#include <string>
#include <vector>

#include <afx.h>

#include "brokercontext.h"
#include "dialogoperations.h"
#include "discrecorder.h"
#include "fileoperations.h"
#include "serverlifetime.h"
#include "textconvert.h"

namespace vesko::broker {

namespace {

// The contract version GetBrokerInfo reports: 2 with ICDWrite2 (per-client
// event names), 1 when a test hides it.
constexpr DWORD kContractVersion = 2;
constexpr DWORD kContractVersionWithoutCDWrite2 = 1;

// Framework and allocation failures become HRESULTs at the boundary: COM
// cannot carry an exception to the host.
template <typename Call>
HRESULT Guarded(Call call) {
    try {
        return call();
    } catch (CException* e) {
        e->Delete();
        return E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The names listed, comma-separated, in the test-only variable
// VESKO_BROKER_HIDE. Under Wine the broker inherits its client's environment,
// so a test sets it before its client starts the broker.
std::vector<std::string> HiddenInterfaces() {
    std::vector<std::string> names;
    char value[256] = {};
    const DWORD length = GetEnvironmentVariableA("VESKO_BROKER_HIDE", value, sizeof value);
    if (length == 0 || length >= sizeof value)
        return names;
    std::string name;
    for (const char* p = value;; ++p) {
        if (*p == ',' || *p == '\0') {
            while (!name.empty() && name.back() == ' ')
                name.pop_back();
            if (!name.empty())
                names.push_back(name);
            name.clear();
            if (*p == '\0')
                break;
        } else if (*p != ' ' || !name.empty()) {
            name += *p;
        }
    }
    return names;
}

}  // namespace

BrokerObject::BrokerObject(BrokerContext& context, ServerLifetime& lifetime, FileOperations& files,
                           DialogOperations& dialogs, DiscRecorder& disc)
    : m_context(context), m_lifetime(lifetime), m_files(files), m_dialogs(dialogs), m_disc(disc) {
    // Hiding only takes abilities away from the client that asked for it.
    for (const std::string& name : HiddenInterfaces()) {
        if (lstrcmpiA(name.c_str(), "IFileIOBroker") == 0)
            m_hideFileIO = true;
        else if (lstrcmpiA(name.c_str(), "IFileDlgBroker") == 0)
            m_hideFileDlg = true;
        else if (lstrcmpiA(name.c_str(), "ICDWrite2") == 0)
            m_hideCDWrite2 = true;
        else {
            m_context.Audit().Note("VESKO_BROKER_HIDE: " + ForLog(FromAnsi(name.c_str())) +
                                   " ignored");
            continue;
        }
        m_context.Audit().Note("VESKO_BROKER_HIDE: " + ForLog(FromAnsi(name.c_str())) +
                               " is not served");
    }
}

BrokerObject::~BrokerObject() = default;

STDMETHODIMP BrokerObject::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IBroker)
        *ppv = static_cast<IBroker*>(this);
    else if (riid == IID_IFileIOBroker && !m_hideFileIO)
        *ppv = static_cast<IFileIOBroker*>(this);
    else if (riid == IID_IFileDlgBroker && !m_hideFileDlg)
        *ppv = static_cast<IFileDlgBroker*>(this);
    else if (riid == IID_ICDWrite)
        *ppv = static_cast<ICDWrite*>(static_cast<ICDWrite2*>(this));
    else if (riid == IID_ICDWrite2 && !m_hideCDWrite2)
        *ppv = static_cast<ICDWrite2*>(this);
    else if (riid == IID_IExternalConnection)
        *ppv = static_cast<IExternalConnection*>(this);
    else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) BrokerObject::AddRef() {
    return ++m_refs;
}

STDMETHODIMP_(ULONG) BrokerObject::Release() {
    const ULONG left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

STDMETHODIMP_(DWORD) BrokerObject::AddConnection(DWORD type, DWORD) {
    if (!(type & EXTCONN_STRONG))
        return m_connections.load();
    const DWORD now = ++m_connections;
    if (now == 1)
        m_lifetime.AddRef();  // the client's first reference
    return now;
}

STDMETHODIMP_(DWORD) BrokerObject::ReleaseConnection(DWORD type, DWORD, BOOL) {
    if (!(type & EXTCONN_STRONG) || m_connections.load() == 0)
        return m_connections.load();
    const DWORD left = --m_connections;
    if (left == 0)
        m_lifetime.Release();  // the client's last reference
    return left;
}

STDMETHODIMP BrokerObject::GetTypeInfoCount(UINT* count) {
    if (!count)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP BrokerObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info)
        *info = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP BrokerObject::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

STDMETHODIMP BrokerObject::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                  UINT*) {
    return E_NOTIMPL;
}

STDMETHODIMP BrokerObject::GetBrokerInfo(DWORD* processId, DWORD* version) {
    if (!processId || !version)
        return E_POINTER;
    *processId = GetCurrentProcessId();
    *version = m_hideCDWrite2 ? kContractVersionWithoutCDWrite2 : kContractVersion;
    return S_OK;
}

STDMETHODIMP BrokerObject::SetLanguageID(DWORD languageId) {
    return Guarded([&] {
        m_context.SetLanguage(languageId);
        m_context.Audit().Done("SetLanguageID", "language=" + Hex(languageId), "hr=0x00000000");
        return S_OK;
    });
}

STDMETHODIMP BrokerObject::CreateDir(BSTR identity, BSTR path, DWORD* code) {
    return Guarded([&] { return m_files.CreateDir(identity, path, code); });
}

STDMETHODIMP BrokerObject::MoveFileLI(BSTR identity, BSTR source, BSTR destination, DWORD* code) {
    return Guarded([&] { return m_files.MoveFileLI(identity, source, destination, code); });
}

STDMETHODIMP BrokerObject::ReCreateFileLI(BSTR identity, BSTR path, DWORD* code) {
    return Guarded([&] { return m_files.ReCreateFileLI(identity, path, code); });
}

STDMETHODIMP BrokerObject::DeleteDirRecursively(BSTR identity, BSTR path, DWORD* code) {
    return Guarded([&] { return m_files.DeleteDirRecursively(identity, path, code); });
}

STDMETHODIMP BrokerObject::IsDestinationWritable(BSTR identity, BSTR path, DWORD* code) {
    return Guarded([&] { return m_files.IsDestinationWritable(identity, path, code); });
}

STDMETHODIMP BrokerObject::RegistrySetValue(BSTR identity, DWORD rootKey, BSTR subKey,
                                            BSTR valueName, DWORD valueType, DWORD dataLength,
                                            LPSAFEARRAY data, DWORD* code) {
    return Guarded([&] {
        return m_files.RegistrySetValue(identity, rootKey, subKey, valueName, valueType, dataLength,
                                        data, code);
    });
}

STDMETHODIMP BrokerObject::GetIEVersion(BSTR identity, UINT* major, UINT* minor, UINT* build,
                                        VARIANT_BOOL* ok) {
    return Guarded([&] { return m_files.GetIEVersion(identity, major, minor, build, ok); });
}

STDMETHODIMP BrokerObject::DisplayHelpFile(BSTR identity, BSTR helpFile, DWORD ownerWindow,
                                           DWORD* code) {
    return Guarded([&] { return m_files.DisplayHelpFile(identity, helpFile, ownerWindow, code); });
}

STDMETHODIMP BrokerObject::ShowFileDialog(int mode, BSTR text1, BSTR text2, BSTR text3, DWORD flags,
                                          DWORD ownerWindow, BSTR* chosenPath, BSTR* chosenFiles,
                                          int* result) {
    return Guarded([&] {
        return m_dialogs.ShowFileDialog(mode, text1, text2, text3, flags, ownerWindow, chosenPath,
                                        chosenFiles, result);
    });
}

STDMETHODIMP BrokerObject::ShowSaveImageDialog(BSTR text1, BSTR text2, BSTR text3, BSTR text4,
                                               LONG number1, DWORD ownerWindow,
                                               DWORD moduleInstance, LONG number2, BSTR* resultText,
                                               DWORD* value1, DWORD* value2, int* result) {
    return Guarded([&] {
        return m_dialogs.ShowSaveImageDialog(text1, text2, text3, text4, number1, ownerWindow,
                                             moduleInstance, number2, resultText, value1, value2,
                                             result);
    });
}

STDMETHODIMP BrokerObject::ShowFolderDialog(DWORD ownerWindow, BSTR title, BSTR* folder,
                                            int* result) {
    return Guarded([&] { return m_dialogs.ShowFolderDialog(ownerWindow, title, folder, result); });
}

STDMETHODIMP BrokerObject::ShowPrintSelectionDialog(DWORD ownerWindow, int number, BSTR text,
                                                    BSTR* resultText, DWORD brokerValue,
                                                    int* result) {
    return Guarded([&] {
        return m_dialogs.ShowPrintSelectionDialog(ownerWindow, number, text, resultText,
                                                  brokerValue, result);
    });
}

STDMETHODIMP BrokerObject::Initialize(BSTR identity) {
    return Guarded([&] { return m_disc.Initialize(identity); });
}

STDMETHODIMP BrokerObject::Uninitialize(BSTR identity) {
    return Guarded([&] { return m_disc.Uninitialize(identity); });
}

STDMETHODIMP BrokerObject::Cancel(BSTR identity) {
    return Guarded([&] { return m_disc.Cancel(identity); });
}

STDMETHODIMP BrokerObject::Stop(BSTR identity) {
    return Guarded([&] { return m_disc.Stop(identity); });
}

STDMETHODIMP BrokerObject::ValidateDrive(BSTR identity, DWORD* error) {
    return Guarded([&] { return m_disc.ValidateDrive(identity, error); });
}

STDMETHODIMP BrokerObject::StartBurn(BSTR identity, BSTR source, DWORD flag) {
    return Guarded([&] { return m_disc.StartBurn(identity, source, flag); });
}

STDMETHODIMP BrokerObject::SetDrive(BSTR identity, BSTR drive, DWORD* error) {
    return Guarded([&] { return m_disc.SetDrive(identity, drive, error); });
}

STDMETHODIMP BrokerObject::GetDriveAvailSpace(BSTR identity, ULONGLONG* space, DWORD* error) {
    return Guarded([&] { return m_disc.GetDriveAvailSpace(identity, space, error); });
}

STDMETHODIMP BrokerObject::IsBusy(BSTR identity, DWORD* busy) {
    return Guarded([&] { return m_disc.IsBusy(identity, busy); });
}

STDMETHODIMP BrokerObject::GetEventData(BSTR identity, DWORD eventId, CDEventRecord* record) {
    return Guarded([&] { return m_disc.GetEventData(identity, eventId, record); });
}

STDMETHODIMP BrokerObject::IsValid(BSTR identity, DWORD* valid) {
    return Guarded([&] { return m_disc.IsValid(identity, valid); });
}

STDMETHODIMP BrokerObject::GetDrive(BSTR identity, BSTR* drive, DWORD* error) {
    return Guarded([&] { return m_disc.GetDrive(identity, drive, error); });
}

STDMETHODIMP BrokerObject::StartGetDriveAvailSpace(BSTR identity) {
    return Guarded([&] { return m_disc.StartGetDriveAvailSpace(identity); });
}

STDMETHODIMP BrokerObject::StartValidateDrive(BSTR identity) {
    return Guarded([&] { return m_disc.StartValidateDrive(identity); });
}

STDMETHODIMP BrokerObject::StartErase(BSTR identity, DWORD flag) {
    return Guarded([&] { return m_disc.StartErase(identity, flag); });
}

STDMETHODIMP BrokerObject::GetEventNames(BSTR identity, BSTR* names) {
    return Guarded([&] { return m_disc.GetEventNames(identity, names); });
}

}  // namespace vesko::broker
