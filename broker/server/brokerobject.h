// The one COM object a broker process serves. It answers the contract
// interfaces (ICDWrite through ICDWrite2, contract version 2) and hands each call to the part of
// the broker that performs it; no exception ever leaves a method.
//
// The process's main function owns one reference for the object's whole
// life, so that it can disconnect the object when the broker ends. Whether
// the client still holds the object is told by COM's count of external
// connections (IExternalConnection), not by the reference count: the stub
// manager keeps references of its own for as long as the object is exported.
#pragma once

#include <windows.h>

#include <atomic>

#include "veskobroker.h"

namespace vesko::broker {

class BrokerContext;
class ServerLifetime;
class FileOperations;
class DialogOperations;
class DiscRecorder;

class BrokerObject : public IBroker,
                     public IFileIOBroker,
                     public IFileDlgBroker,
                     public ICDWrite2,
                     public IExternalConnection {
  public:
    // Created with the owner's reference.
    BrokerObject(BrokerContext& context, ServerLifetime& lifetime, FileOperations& files,
                 DialogOperations& dialogs, DiscRecorder& disc);
    BrokerObject(const BrokerObject&) = delete;
    BrokerObject& operator=(const BrokerObject&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IExternalConnection: strong connections are the client's references.
    STDMETHODIMP_(DWORD) AddConnection(DWORD type, DWORD reserved) override;
    STDMETHODIMP_(DWORD)
    ReleaseConnection(DWORD type, DWORD reserved, BOOL lastReleaseCloses) override;

    // IDispatch: no type library; the interfaces are reached by vtable only.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override;

    // IBroker
    STDMETHODIMP GetBrokerInfo(DWORD* processId, DWORD* version) override;
    STDMETHODIMP SetLanguageID(DWORD languageId) override;

    // IFileIOBroker
    STDMETHODIMP CreateDir(BSTR identity, BSTR path, DWORD* code) override;
    STDMETHODIMP MoveFileLI(BSTR identity, BSTR source, BSTR destination, DWORD* code) override;
    STDMETHODIMP ReCreateFileLI(BSTR identity, BSTR path, DWORD* code) override;
    STDMETHODIMP DeleteDirRecursively(BSTR identity, BSTR path, DWORD* code) override;
    STDMETHODIMP IsDestinationWritable(BSTR identity, BSTR path, DWORD* code) override;
    STDMETHODIMP RegistrySetValue(BSTR identity, DWORD rootKey, BSTR subKey, BSTR valueName,
                                  DWORD valueType, DWORD dataLength, LPSAFEARRAY data,
                                  DWORD* code) override;
    STDMETHODIMP GetIEVersion(BSTR identity, UINT* major, UINT* minor, UINT* build,
                              VARIANT_BOOL* ok) override;
    STDMETHODIMP DisplayHelpFile(BSTR identity, BSTR helpFile, DWORD ownerWindow,
                                 DWORD* code) override;

    // IFileDlgBroker
    STDMETHODIMP ShowFileDialog(int mode, BSTR text1, BSTR text2, BSTR text3, DWORD flags,
                                DWORD ownerWindow, BSTR* chosenPath, BSTR* chosenFiles,
                                int* result) override;
    STDMETHODIMP ShowSaveImageDialog(BSTR text1, BSTR text2, BSTR text3, BSTR text4, LONG number1,
                                     DWORD ownerWindow, DWORD moduleInstance, LONG number2,
                                     BSTR* resultText, DWORD* value1, DWORD* value2,
                                     int* result) override;
    STDMETHODIMP ShowFolderDialog(DWORD ownerWindow, BSTR title, BSTR* folder,
                                  int* result) override;
    STDMETHODIMP ShowPrintSelectionDialog(DWORD ownerWindow, int number, BSTR text,
                                          BSTR* resultText, DWORD brokerValue,
                                          int* result) override;

    // ICDWrite
    STDMETHODIMP Initialize(BSTR identity) override;
    STDMETHODIMP Uninitialize(BSTR identity) override;
    STDMETHODIMP Cancel(BSTR identity) override;
    STDMETHODIMP Stop(BSTR identity) override;
    STDMETHODIMP ValidateDrive(BSTR identity, DWORD* error) override;
    STDMETHODIMP StartBurn(BSTR identity, BSTR source, DWORD flag) override;
    STDMETHODIMP SetDrive(BSTR identity, BSTR drive, DWORD* error) override;
    STDMETHODIMP GetDriveAvailSpace(BSTR identity, ULONGLONG* space, DWORD* error) override;
    STDMETHODIMP IsBusy(BSTR identity, DWORD* busy) override;
    STDMETHODIMP GetEventData(BSTR identity, DWORD eventId, CDEventRecord* record) override;
    STDMETHODIMP IsValid(BSTR identity, DWORD* valid) override;
    STDMETHODIMP GetDrive(BSTR identity, BSTR* drive, DWORD* error) override;
    STDMETHODIMP StartGetDriveAvailSpace(BSTR identity) override;
    STDMETHODIMP StartValidateDrive(BSTR identity) override;
    STDMETHODIMP StartErase(BSTR identity, DWORD flag) override;
    // ICDWrite2
    STDMETHODIMP GetEventNames(BSTR identity, BSTR* names) override;

  private:
    virtual ~BrokerObject();

    // Interfaces QueryInterface denies: a test-only switch (VESKO_BROKER_HIDE)
    // that lets tests meet a broker of an older or reduced contract.
    bool m_hideFileIO = false;
    bool m_hideFileDlg = false;
    bool m_hideCDWrite2 = false;  // then a broker of contract version 1
    std::atomic<ULONG> m_refs{1};
    std::atomic<DWORD> m_connections{0};
    BrokerContext& m_context;
    ServerLifetime& m_lifetime;
    FileOperations& m_files;
    DialogOperations& m_dialogs;
    DiscRecorder& m_disc;
};

}  // namespace vesko::broker
