#include "brokersession.h"

#include <algorithm>

#include "sfileio.h"
#include "veskosecurityattributes.h"

namespace vesko::test {

std::wstring Wide(const std::string& text) {
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

HRESULT BrokerSession::Open() {
    ComPtr<IBroker> broker;
    HRESULT hr =
        CoCreateInstance(CLSID_Broker, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&broker));
    DWORD version = 0;
    if (SUCCEEDED(hr))
        hr = broker->GetBrokerInfo(&m_processId, &version);
    ComPtr<IGlobalInterfaceTable> git = Git();
    for (int i = 0; i < 4 && SUCCEEDED(hr); ++i) {
        ComPtr<IUnknown> itf;
        hr = git ? broker->QueryInterface(*kInterfaces[i],
                                          reinterpret_cast<void**>(itf.GetAddressOf()))
                 : E_FAIL;
        if (SUCCEEDED(hr))
            hr = git->RegisterInterfaceInGlobal(itf.Get(), *kInterfaces[i], &m_cookies[i]);
    }
    return hr;
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

namespace {

SharedBroker* g_shared = nullptr;

}  // namespace

SharedBroker& Shared() {
    return *g_shared;
}

SharedBroker::SharedBroker()
    : m_wellKnown(WritableDir() + "\\broker-test-" + std::to_string(GetCurrentProcessId())),
      m_policyFile(ExecutableFolder() + "\\veskobroker.policy"),
      m_dialogs(std::make_unique<DialogDouble>(m_dialogDir.Path())) {
    g_shared = this;
    RemoveTree(m_wellKnown);
    CreateDirectoryA(m_wellKnown.c_str(), nullptr);
    // The broker reads its policy file, beside itself, when it starts.
    WriteFileText(m_policyFile, "# written by the broker tests\nroot = " + m_policyRoot.Path() +
                                    "\nregistry = " + PolicyKey() + "\nnonsense line\n");
}

SharedBroker::~SharedBroker() {
    m_session.Close();
    DeleteFileA(m_policyFile.c_str());
    RemoveTree(m_wellKnown);
    g_shared = nullptr;
}

HRESULT SharedBroker::Open() {
    const HRESULT hr = m_session.Open();
    // Only this program's broker may read the policy file.
    DeleteFileA(m_policyFile.c_str());
    return hr;
}

AuditCursor::AuditCursor() : m_offset(ReadFileText(AuditLogPath()).size()) {}

std::vector<std::string> AuditCursor::NewLines() {
    const std::string text = ReadFileText(AuditLogPath());
    std::vector<std::string> lines;
    for (size_t start = m_offset; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    m_offset = std::max(m_offset, text.size());
    return lines;
}

namespace {

// The folder table as the library's worker resolves it.
SFileIO& Folders() {
    static struct Table {
        Table() {
            attributes.Init();
            folders.Init(&attributes);
        }
        VeskoSecurityAttributes attributes;
        SFileIO folders;
    } table;
    return table.folders;
}

}  // namespace

std::string WritableDir() {
    return Folders().GetWritableDir().GetString();
}
std::string LogDir() {
    return Folders().GetLogDir().GetString();
}
std::string AuditLogPath() {
    return LogDir() + "\\VeskoBroker.log";
}

std::string ExecutableFolder() {
    char module[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, module, MAX_PATH);
    const std::string path = module;
    return path.substr(0, path.find_last_of("\\/"));
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

bool Start(std::string command, UniqueHandle& process, DWORD* processId, const char* program) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return false;
    CloseHandle(info.hThread);
    process.Reset(info.hProcess);
    if (processId)
        *processId = info.dwProcessId;
    return true;
}

namespace {

std::string UnixPath(const std::string& path) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    auto unixName = reinterpret_cast<UnixName>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
    char* name = unixName ? unixName(Wide(path).c_str()) : nullptr;
    const std::string out = name ? name : "";
    if (name)
        HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// Runs a program of the host system (Wine starts non-PE programs natively).
bool RunHost(const char* program, const std::string& command, std::string& why) {
    UniqueHandle process;
    if (!Start(command, process, nullptr, program)) {
        why = std::string("cannot run ") + program + ": " + Describe(GetLastError());
        return false;
    }
    WaitForSingleObject(process.Get(), 5000);
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
    why.clear();
    const std::string unixLink = UnixPath(link), unixTarget = UnixPath(target);
    if (unixLink.empty() || unixTarget.empty()) {
        why = "not running under Wine, or no host path for the link or its target";
        return false;
    }
    if (!RunHost("Z:\\bin\\ln", "/bin/ln -s \"" + unixTarget + "\" \"" + unixLink + "\"", why))
        return false;
    for (int i = 0; i < 50; ++i, Sleep(20)) {
        const DWORD attributes = GetFileAttributesA(link.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            continue;
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            why = "the link is not reported as a reparse point";
        return why.empty();
    }
    why = "ln created no link";
    return false;
}

}  // namespace vesko::test
