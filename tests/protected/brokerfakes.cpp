#include "brokerfakes.h"

namespace vesko::test {

namespace {
std::wstring Text(BSTR b) {
    return b ? std::wstring(b, SysStringLen(b)) : std::wstring();
}
}  // namespace

HRESULT FakeFileIOBroker::Answer(BSTR identity, BSTR text1, BSTR text2, DWORD* code) {
    ++calls;
    lastIdentity = Text(identity);
    lastText1 = Text(text1);
    lastText2 = Text(text2);
    if (writeCode)
        *code = answerCode;
    return answerHr;
}

HRESULT FakeFileIOBroker::RegistrySetValue(BSTR identity, DWORD root, BSTR subKey, BSTR valueName,
                                           DWORD type, DWORD length, SAFEARRAY* data, DWORD* code) {
    lastRoot = root;
    lastType = type;
    lastLength = length;
    lastData.clear();
    if (data && SafeArrayGetDim(data) == 1) {
        BYTE* bytes = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(data, reinterpret_cast<void**>(&bytes)))) {
            lastData.assign(bytes, bytes + data->rgsabound[0].cElements);
            SafeArrayUnaccessData(data);
        }
    }
    return Answer(identity, subKey, valueName, code);
}

HRESULT FakeFileIOBroker::GetIEVersion(BSTR identity, UINT* major, UINT* minor, UINT* build,
                                       VARIANT_BOOL* ok) {
    ++calls;
    lastIdentity = Text(identity);
    *major = version[0];
    *minor = version[1];
    *build = version[2];
    *ok = answerFlag;
    return answerHr;
}

HRESULT FakeFileDlgBroker::ShowFileDialog(int mode, BSTR text1, BSTR text2, BSTR text3, DWORD flags,
                                          DWORD window, BSTR* path, BSTR* files, int* result) {
    ++calls;
    lastMode = mode;
    lastText1 = Text(text1);
    lastText2 = Text(text2);
    lastText3 = Text(text3);
    lastFlags = flags;
    lastWindow = window;
    *path = answerPath ? SysAllocString(answerPath) : nullptr;
    *files = answerFiles ? SysAllocString(answerFiles) : nullptr;
    if (writeResult)
        *result = answerResult;
    return answerHr;
}

HRESULT FakeFileDlgBroker::ShowSaveImageDialog(BSTR text1, BSTR text2, BSTR text3, BSTR text4,
                                               long number1, DWORD window, DWORD instance,
                                               long number2, BSTR* resultText, DWORD* value1,
                                               DWORD* value2, int* result) {
    ++calls;
    lastText1 = Text(text1);
    lastText2 = Text(text2);
    lastText3 = Text(text3);
    lastText4 = Text(text4);
    lastNumber1 = number1;
    lastNumber2 = number2;
    lastWindow = window;
    lastInstance = instance;
    lastValue1 = value1;
    lastValue2 = value2;
    *resultText = answerText ? SysAllocString(answerText) : nullptr;
    if (writeResult)
        *result = answerResult;
    return answerHr;
}

HRESULT FakeFileDlgBroker::ShowPrintSelectionDialog(DWORD window, int number, BSTR text,
                                                    BSTR* resultText, DWORD brokerValue,
                                                    int* result) {
    ++calls;
    lastWindow = window;
    lastNumber = number;
    lastTextNull = text == nullptr;
    lastText1 = Text(text);
    lastBrokerValue = brokerValue;
    lastResultPtr = result;
    *resultText = answerText ? SysAllocString(answerText) : nullptr;
    if (writeResult && result)
        *result = answerResult;
    return answerHr;
}

FakeCDWrite::FakeCDWrite()
    : m_hGate(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      m_hEntered(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

FakeCDWrite::~FakeCDWrite() {
    CloseHandle(m_hGate);
    CloseHandle(m_hEntered);
}

ULONG FakeCDWrite::Release() {
    const ULONG left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

HRESULT FakeCDWrite::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ICDWrite) {
        *ppv = static_cast<ICDWrite*>(this);
    } else if (riid == IID_IBroker) {
        *ppv = static_cast<IBroker*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

void FakeCDWrite::CloseGate() {
    ResetEvent(m_hGate);
}
void FakeCDWrite::OpenGate() {
    SetEvent(m_hGate);
}
bool FakeCDWrite::WaitEntered(DWORD ms) {
    return WaitForSingleObject(m_hEntered, ms) == WAIT_OBJECT_0;
}

HRESULT FakeCDWrite::Initialize(BSTR identity) {
    ++initializeCalls;
    std::lock_guard<std::mutex> hold(m_lock);
    initializeIdentity = Text(identity);
    return S_OK;
}

HRESULT FakeCDWrite::Uninitialize(BSTR identity) {
    ++uninitializeCalls;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        uninitializeIdentity = Text(identity);
    }
    if (onUninitialize)
        onUninitialize();
    return S_OK;
}

HRESULT FakeCDWrite::GetEventData(BSTR, DWORD eventId, CDEventRecord* record) {
    if (eventId < 8)
        ++dataCalls[eventId];
    SetEvent(m_hEntered);
    WaitForSingleObject(m_hGate, INFINITE);
    if (eventId >= 8)
        return E_INVALIDARG;
    *record = records[eventId];
    return S_OK;
}

}  // namespace vesko::test
