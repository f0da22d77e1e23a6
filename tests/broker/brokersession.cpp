#include "brokersession.h"

#include <cstdio>

#include "sfileio.h"
#include "testsupport.h"
#include "veskosecurityattributes.h"

namespace vesko::test {

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::wstring Identity() {
    return Wide(VeskoSecurityAttributes::FormatIdentity().GetString());
}

UniqueBstr Bstr(const std::wstring& text) {
    return UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

UniqueBstr Bstr(const std::string& text) {
    return Bstr(Wide(text));
}

namespace {

ComPtr<IGlobalInterfaceTable> Git() {
    ComPtr<IGlobalInterfaceTable> git;
    CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                     IID_PPV_ARGS(&git));
    return git;
}

const IID* const kInterfaces[4] = {&IID_IBroker, &IID_IFileIOBroker, &IID_IFileDlgBroker,
                                   &IID_ICDWrite};

}  // namespace

BrokerSession::~BrokerSession() {
    Close();
}

HRESULT BrokerSession::Open() {
    ComPtr<IBroker> broker;
    HRESULT hr =
        CoCreateInstance(CLSID_Broker, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&broker));
    if (FAILED(hr))
        return hr;
    DWORD version = 0;
    hr = broker->GetBrokerInfo(&m_processId, &version);
    if (FAILED(hr))
        return hr;
    ComPtr<IGlobalInterfaceTable> git = Git();
    if (!git)
        return E_FAIL;
    for (int i = 0; i < 4; ++i) {
        ComPtr<IUnknown> itf;
        hr = broker->QueryInterface(*kInterfaces[i], reinterpret_cast<void**>(itf.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        hr = git->RegisterInterfaceInGlobal(itf.Get(), *kInterfaces[i], &m_cookies[i]);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

void BrokerSession::Close() {
    ComPtr<IGlobalInterfaceTable> git = Git();
    for (DWORD& cookie : m_cookies) {
        if (cookie && git)
            git->RevokeInterfaceFromGlobal(cookie);
        cookie = 0;
    }
}

HRESULT BrokerSession::FetchRaw(REFIID iid, void** out) const {
    *out = nullptr;
    for (int i = 0; i < 4; ++i) {
        if (IsEqualIID(iid, *kInterfaces[i])) {
            ComPtr<IGlobalInterfaceTable> git = Git();
            return git ? git->GetInterfaceFromGlobal(m_cookies[i], iid, out) : E_FAIL;
        }
    }
    return E_NOINTERFACE;
}

AuditCursor::AuditCursor(std::string path) : m_path(std::move(path)) {
    m_offset = ReadFileText(m_path).size();
}

std::vector<std::string> AuditCursor::NewLines() {
    const std::string text = ReadFileText(m_path);
    std::vector<std::string> lines;
    if (text.size() <= m_offset)
        return lines;
    size_t start = m_offset;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    m_offset = text.size();
    return lines;
}

namespace {

struct FolderTable {
    FolderTable() {
        attributes.Init();
        folders.Init(&attributes);
    }
    VeskoSecurityAttributes attributes;
    SFileIO folders;
};

FolderTable& Table() {
    static FolderTable table;
    return table;
}

}  // namespace

std::string WritableDir() {
    return Table().folders.GetWritableDir().GetString();
}
std::string LogDir() {
    return Table().folders.GetLogDir().GetString();
}
std::string AuditLogPath() {
    return LogDir() + "\\VeskoBroker.log";
}

bool ProcessAlive(DWORD processId) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

bool WaitForExit(DWORD processId, DWORD timeoutMs, DWORD* elapsed) {
    const ULONGLONG start = GetTickCount64();
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    const bool gone = !process || WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0;
    if (elapsed)
        *elapsed = static_cast<DWORD>(GetTickCount64() - start);
    return gone;
}

namespace {

std::string UnixPath(const std::string& path) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    auto unixName = reinterpret_cast<UnixName>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
    if (!unixName)
        return {};
    char* name = unixName(Wide(path).c_str());
    std::string out = name ? name : "";
    if (name)
        HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// Runs a program of the host system (Wine starts non-PE programs natively).
bool RunHost(const char* program, std::string command, std::string& why) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        why = std::string("cannot run ") + program + ": " + Describe(GetLastError());
        return false;
    }
    WaitForSingleObject(process.hProcess, 5000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace

void RemoveFolderLink(const std::string& link) {
    const std::string unixLink = UnixPath(link);
    std::string why;
    if (!unixLink.empty())
        RunHost("Z:\\bin\\rm", "/bin/rm -f \"" + unixLink + "\"", why);
}

bool MakeFolderLink(const std::string& link, const std::string& target, std::string& why) {
    const std::string unixLink = UnixPath(link), unixTarget = UnixPath(target);
    if (unixLink.empty() || unixTarget.empty()) {
        why = "not running under Wine, or no host path for the link or its target";
        return false;
    }
    if (!RunHost("Z:\\bin\\ln", "/bin/ln -s \"" + unixTarget + "\" \"" + unixLink + "\"", why))
        return false;
    for (int i = 0; i < 50; ++i) {
        const DWORD attributes = GetFileAttributesA(link.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                return true;
            why = "the link is not reported as a reparse point";
            return false;
        }
        Sleep(20);
    }
    why = "ln created no link";
    return false;
}

}  // namespace vesko::test
