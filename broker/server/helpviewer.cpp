#include "helpviewer.h"

#include <cwctype>

#include "pathpolicy.h"
#include "sfileio.h"

namespace vesko::broker {

namespace {

bool EndsWithNoCase(const std::wstring& text, const wchar_t* tail) {
    const size_t n = wcslen(tail);
    return text.size() >= n &&
           CompareStringOrdinal(text.c_str() + text.size() - n, static_cast<int>(n), tail,
                                static_cast<int>(n), TRUE) == CSTR_EQUAL;
}

// A topic inside the help file: "/folder/page.htm#anchor", nothing that
// could end the quoted argument or name another file.
bool IsPlainTopic(const std::wstring& topic) {
    if (topic.empty() || topic.size() > 200 || topic[0] != L'/')
        return false;
    for (wchar_t c : topic) {
        if (!(std::iswalnum(c) || c == L'/' || c == L'.' || c == L'_' || c == L'-' || c == L'#' ||
              c == L' '))
            return false;
    }
    return topic.find(L"..") == std::wstring::npos;
}

}  // namespace

HelpViewer::~HelpViewer() {
    End();
}

DWORD HelpViewer::ProcessId() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_process ? GetProcessId(m_process.Get()) : 0;
}

void HelpViewer::End() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_process)
        SFileIO::EndHelpProcess(m_process.Get());
    m_process.Reset();
}

DWORD HelpViewer::Show(const std::wstring& request, const PathPolicy& policy, const char*& refusal,
                       std::wstring& commandLine) {
    refusal = nullptr;
    // As in direct mode, an empty request shows nothing and succeeds.
    if (request.empty())
        return ERROR_SUCCESS;

    std::wstring file = request, topic;
    const size_t separator = request.find(L"::");
    if (separator != std::wstring::npos) {
        file = request.substr(0, separator);
        topic = request.substr(separator + 2);
        if (!IsPlainTopic(topic)) {
            refusal = "help topic is not a plain page name";
            return ERROR_ACCESS_DENIED;
        }
    }
    // Options such as "-decompile" never reach the viewer: a path must be
    // absolute, and the whole request travels as one quoted argument.
    const std::wstring canonical = PathPolicy::Canonicalise(file, &refusal);
    if (canonical.empty())
        return ERROR_ACCESS_DENIED;
    refusal = nullptr;
    // A share is never looked up: the lookup alone hands the user's
    // credentials to whichever server the host names.
    if (canonical[0] == L'\\') {
        refusal = "help file on a network path";
        return ERROR_ACCESS_DENIED;
    }
    if (!EndsWithNoCase(canonical, L".chm")) {
        refusal = "not a compiled help file (.chm)";
        return ERROR_ACCESS_DENIED;
    }
    // A help file can run script inside the viewer, which runs at the
    // broker's integrity: only files in folders the host can never write are
    // shown, judged by the file that is opened, not by its name (a short
    // name, another drive letter, a link or a second name of a planted file
    // all lead elsewhere). The handle stays open, sharing neither writes nor
    // renames, until the viewer has started on the path that was checked.
    UniqueHandle opened(
        CreateFileW(canonical.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (opened.Get() == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD attributes = 0, links = 0;
    if (!PathPolicy::HandleFacts(opened.Get(), attributes, links))
        return GetLastError();
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        refusal = "help file is a folder or a link";
        return ERROR_ACCESS_DENIED;
    }
    if (links > 1) {
        refusal = "help file with more than one name (hard link)";
        return ERROR_ACCESS_DENIED;
    }
    const std::wstring real = PathPolicy::FinalPath(opened.Get());
    if (real.empty() || real.size() >= MAX_PATH || real.find(L'"') != std::wstring::npos) {
        refusal = "help file without a usable final path";
        return ERROR_ACCESS_DENIED;
    }
    if ((refusal = policy.HelpRefusal(real)) != nullptr)
        return ERROR_ACCESS_DENIED;

    wchar_t windows[MAX_PATH] = {};
    const UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return GetLastError();
    const std::wstring viewer = std::wstring(windows) + L"\\hh.exe";
    const std::wstring argument = topic.empty() ? real : real + L"::" + topic;
    // The canonical path has no quote and no trailing backslash, so quoting
    // it is enough to keep it one argument.
    commandLine = L"\"" + viewer + L"\" \"" + argument + L"\"";

    std::lock_guard<std::mutex> hold(m_lock);
    if (m_process) {
        const DWORD ended = SFileIO::EndHelpProcess(m_process.Get());
        if (ended != ERROR_SUCCESS)
            return ended;
        m_process.Reset();
    }
    std::wstring mutableLine = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(viewer.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return GetLastError();
    CloseHandle(process.hThread);
    m_process.Reset(process.hProcess);
    // The viewer opens the file once it runs its message loop; until then
    // the checked file stays held.
    WaitForInputIdle(process.hProcess, 2000);
    return ERROR_SUCCESS;
}

}  // namespace vesko::broker
