// In-process stand-ins for the broker, for the answers the real broker never
// gives (a call that writes nothing, S_FALSE, a failure with a code) and for
// driving the disc event relay step by step. Each is registered in the
// Global Interface Table exactly as the service set registers the real
// broker's interfaces, so the services under test take the same path.
#pragma once

#include <windows.h>

#include <veskobroker.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vesko::test {

// IUnknown and the unused IDispatch part of one broker interface.
template <typename Interface>
class FakeBase : public Interface {
  public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == __uuidof(Interface)) {
            *ppv = static_cast<Interface*>(this);
        } else if (!QueryMore(riid, ppv)) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        if (n)
            *n = 0;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    ULONG Refs() const { return m_refs; }

  protected:
    virtual ~FakeBase() = default;
    virtual bool QueryMore(REFIID, void**) { return false; }

  private:
    std::atomic<ULONG> m_refs{1};
};

// Answers every IFileIOBroker call with a scripted HRESULT and code, and
// remembers what it was sent.
class FakeFileIOBroker : public FakeBase<IFileIOBroker> {
  public:
    HRESULT answerHr = S_OK;
    DWORD answerCode = 0;
    bool writeCode = true;  // false: return without touching *code
    VARIANT_BOOL answerFlag = VARIANT_TRUE;
    UINT version[3] = {11, 0, 9600};
    std::atomic<int> calls{0};
    std::wstring lastIdentity, lastText1, lastText2;
    DWORD lastRoot = 0, lastType = 0, lastLength = 0, lastWindow = 0;
    std::vector<BYTE> lastData;

    HRESULT STDMETHODCALLTYPE CreateDir(BSTR identity, BSTR path, DWORD* code) override {
        return Answer(identity, path, nullptr, code);
    }
    HRESULT STDMETHODCALLTYPE MoveFileLI(BSTR identity, BSTR source, BSTR destination,
                                         DWORD* code) override {
        return Answer(identity, source, destination, code);
    }
    HRESULT STDMETHODCALLTYPE ReCreateFileLI(BSTR identity, BSTR path, DWORD* code) override {
        return Answer(identity, path, nullptr, code);
    }
    HRESULT STDMETHODCALLTYPE DeleteDirRecursively(BSTR identity, BSTR path, DWORD* code) override {
        return Answer(identity, path, nullptr, code);
    }
    HRESULT STDMETHODCALLTYPE IsDestinationWritable(BSTR identity, BSTR path,
                                                    DWORD* code) override {
        return Answer(identity, path, nullptr, code);
    }
    HRESULT STDMETHODCALLTYPE RegistrySetValue(BSTR identity, DWORD root, BSTR subKey,
                                               BSTR valueName, DWORD type, DWORD length,
                                               SAFEARRAY* data, DWORD* code) override;
    HRESULT STDMETHODCALLTYPE GetIEVersion(BSTR identity, UINT* major, UINT* minor, UINT* build,
                                           VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE DisplayHelpFile(BSTR identity, BSTR helpFile, DWORD window,
                                              DWORD* code) override {
        lastWindow = window;
        return Answer(identity, helpFile, nullptr, code);
    }

  private:
    HRESULT Answer(BSTR identity, BSTR text1, BSTR text2, DWORD* code);
};

// Answers IFileDlgBroker calls with scripted out values; a null text stays
// null, and writeResult false leaves the dialog result untouched.
class FakeFileDlgBroker : public FakeBase<IFileDlgBroker> {
  public:
    HRESULT answerHr = S_OK;
    bool writeResult = true;
    int answerResult = IDOK;
    const wchar_t* answerPath = nullptr;
    const wchar_t* answerFiles = nullptr;
    const wchar_t* answerText = nullptr;
    std::atomic<int> calls{0};
    int lastMode = 0, lastNumber = 0;
    long lastNumber1 = 0, lastNumber2 = 0;
    DWORD lastFlags = 0, lastWindow = 0, lastInstance = 0, lastBrokerValue = 0;
    std::wstring lastText1, lastText2, lastText3, lastText4;
    bool lastTextNull = false;
    void* lastValue1 = nullptr;
    void* lastValue2 = nullptr;
    void* lastResultPtr = nullptr;

    HRESULT STDMETHODCALLTYPE ShowFileDialog(int mode, BSTR text1, BSTR text2, BSTR text3,
                                             DWORD flags, DWORD window, BSTR* path, BSTR* files,
                                             int* result) override;
    HRESULT STDMETHODCALLTYPE ShowSaveImageDialog(BSTR text1, BSTR text2, BSTR text3, BSTR text4,
                                                  long number1, DWORD window, DWORD instance,
                                                  long number2, BSTR* resultText, DWORD* value1,
                                                  DWORD* value2, int* result) override;
    HRESULT STDMETHODCALLTYPE ShowFolderDialog(DWORD, BSTR, BSTR*, int*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ShowPrintSelectionDialog(DWORD window, int number, BSTR text,
                                                       BSTR* resultText, DWORD brokerValue,
                                                       int* result) override;
};

// A broker root that also serves ICDWrite, with GetEventData answers set per
// eventId and an optional gate that holds the relay inside GetEventData, so
// a test can signal several events while the worker is not waiting.
class FakeCDWrite : public ICDWrite, public IBroker {
  public:
    FakeCDWrite();

    CDEventRecord records[8] = {};       // by eventId
    std::atomic<int> dataCalls[8] = {};  // GetEventData calls by eventId
    std::atomic<int> initializeCalls{0}, uninitializeCalls{0};
    std::wstring initializeIdentity, uninitializeIdentity;
    // Run inside Uninitialize (what a broker does when its client leaves).
    std::function<void()> onUninitialize;
    DWORD driveError = 0;
    DWORD validFlag = 1;
    HRESULT validHr = S_OK;

    // While closed, GetEventData blocks until OpenGate(); WaitEntered tells
    // that a call has arrived at the gate.
    void CloseGate();
    void OpenGate();
    bool WaitEntered(DWORD ms);
    ULONG Refs() const { return m_refs; }
    IBroker* AsBrokerPtr() { return static_cast<IBroker*>(this); }

    // IUnknown and IDispatch, shared by both interfaces.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        if (n)
            *n = 0;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    // IBroker
    HRESULT STDMETHODCALLTYPE GetBrokerInfo(DWORD* processId, DWORD* version) override {
        *processId = GetCurrentProcessId();
        *version = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetLanguageID(DWORD) override { return S_OK; }

    // ICDWrite
    HRESULT STDMETHODCALLTYPE Initialize(BSTR identity) override;
    HRESULT STDMETHODCALLTYPE Uninitialize(BSTR identity) override;
    HRESULT STDMETHODCALLTYPE Cancel(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Stop(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ValidateDrive(BSTR, DWORD* error) override {
        *error = driveError;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE StartBurn(BSTR, BSTR, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetDrive(BSTR, BSTR, DWORD* error) override {
        *error = driveError;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDriveAvailSpace(BSTR, ULONGLONG* space, DWORD* error) override {
        *space = 4242;
        *error = driveError;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsBusy(BSTR, DWORD* busy) override {
        *busy = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetEventData(BSTR identity, DWORD eventId,
                                           CDEventRecord* record) override;
    HRESULT STDMETHODCALLTYPE IsValid(BSTR, DWORD* valid) override {
        *valid = validFlag;
        return validHr;
    }
    HRESULT STDMETHODCALLTYPE GetDrive(BSTR, BSTR* drive, DWORD* error) override {
        *drive = SysAllocString(L"fake");
        *error = driveError;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE StartGetDriveAvailSpace(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE StartValidateDrive(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE StartErase(BSTR, DWORD) override { return S_OK; }

  private:
    virtual ~FakeCDWrite();
    std::atomic<ULONG> m_refs{1};
    HANDLE m_hGate;     // manual reset; signalled = open
    HANDLE m_hEntered;  // auto reset
    std::mutex m_lock;
};

}  // namespace vesko::test
