#include "testsupport.h"

#include <vesko/raii.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace vesko::test {

namespace {
std::atomic<unsigned> g_counter{0};

std::vector<std::string> Split(const std::string& entries) {
    std::vector<std::string> out;
    std::istringstream in(entries);
    for (std::string entry; std::getline(in, entry, '|');)
        out.push_back(entry);
    return out;
}
}  // namespace

ScratchDir::ScratchDir(const char* tag) {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    char name[MAX_PATH] = {};
    std::snprintf(name, sizeof name, "%svesko-%s-%lu-%u", temp, tag, GetCurrentProcessId(),
                  g_counter++);
    m_path = name;
    RemoveTree(m_path);
    CreateDirectoryA(m_path.c_str(), nullptr);
}

ScratchDir::~ScratchDir() {
    RemoveTree(m_path);
}

bool WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    return out.write(text.data(), static_cast<std::streamsize>(text.size())).flush().good();
}

bool WriteFileWide(const std::wstring& path, const std::string& data) {
    const bool full = path.size() > 2 && path[1] == L':' && path.rfind(L"\\\\?\\", 0) != 0;
    UniqueHandle file(CreateFileW((full ? L"\\\\?\\" + path : path).c_str(), GENERIC_WRITE, 0,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        file.Release();
        return false;
    }
    DWORD written = 0;
    return data.empty() || (WriteFile(file.Get(), data.data(), static_cast<DWORD>(data.size()),
                                      &written, nullptr) &&
                            written == data.size());
}

std::string DistinctBytes(const std::wstring& path, size_t size) {
    unsigned long long state = 1469598103934665603ull;
    for (wchar_t c : path)
        state = (state ^ c) * 1099511628211ull;
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        bytes[i] = static_cast<char>(state >> 56);
    }
    return bytes;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDir(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

std::wstring WideOf(const std::string& text, UINT codePage = CP_ACP) {
    const int n = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    MultiByteToWideChar(codePage, 0, text.c_str(), -1, &wide[0], n);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string AnsiOf(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], n, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

// Wide throughout: names the ANSI code page cannot hold (the disc tests'
// Unicode names) go as well.
void RemoveTreeWide(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES)
        return;
    // A link goes by itself, never what it reaches (Wine's RemoveDirectory on
    // a host link can take an empty target with it).
    if ((a & FILE_ATTRIBUTE_REPARSE_POINT) && HostLink(AnsiOf(path)))
        return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW fd;
    const UniqueFindHandle f(!(a & FILE_ATTRIBUTE_REPARSE_POINT)
                                 ? FindFirstFileW((path + L"\\*").c_str(), &fd)
                                 : INVALID_HANDLE_VALUE);
    for (bool more = f.IsValid(); more; more = FindNextFileW(f.Get(), &fd)) {
        const std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..")
            RemoveTreeWide(path + L"\\" + name);
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

void RemoveTree(const std::string& path) {
    RemoveTreeWide(WideOf(path));
}

BrokerUnregistered::BrokerUnregistered() {
    for (View& view : m_views) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE | view.flag, &key) !=
            ERROR_SUCCESS)
            continue;
        const bool read = RegGetValueA(key, nullptr, nullptr, RRF_RT_REG_SZ, nullptr, view.command,
                                       &view.size) == ERROR_SUCCESS;
        RegCloseKey(key);
        view.taken =
            read && RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, view.flag, 0) == ERROR_SUCCESS;
        ok = ok || view.taken;
    }
}

BrokerUnregistered::~BrokerUnregistered() {
    for (const View& view : m_views) {
        HKEY key = nullptr;
        if (view.taken &&
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE | view.flag,
                            nullptr, &key, nullptr) == ERROR_SUCCESS) {
            RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(view.command),
                           view.size);
            RegCloseKey(key);
        }
    }
}

std::string ThisProgram() {
    char module[MAX_PATH] = {};
    return std::string(module, GetModuleFileNameA(nullptr, module, MAX_PATH));
}

std::string ProgramFolder() {
    const std::string path = ThisProgram();
    return path.substr(0, path.find_last_of('\\'));
}

UniqueHandle StartProcess(std::string command, char* environment) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, environment, nullptr,
                       &startup, &info))
        CloseHandle(info.hThread);
    return UniqueHandle(info.hProcess);
}

std::string UnixName(const std::string& path) {
    using UnixNameFn = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixNameFn>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
    std::wstring wide(path.size() + 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    char* name = unixName ? unixName(wide.c_str()) : nullptr;
    const std::string out = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

bool StartOnHost(const char* program, std::string commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

bool WaitFor(const std::function<bool()>& done, DWORD milliseconds) {
    for (DWORD waited = 0; !done() && waited < milliseconds; waited += 20)
        Sleep(20);
    return done();
}

int RunOnHost(const std::string& folder, const std::string& script, std::string& output,
              DWORD milliseconds) {
    static std::atomic<unsigned> counter{0};
    const std::string unixFolder = UnixName(folder);
    const std::string tag =
        "host-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
    // The status file appears whole (written aside, then renamed): its
    // presence means the script has ended.
    const std::string body = "export PATH=/usr/bin:/bin LANG=C.UTF-8 LC_ALL=C.UTF-8\ncd '" +
                             unixFolder + "' || exit 1\n( " + script + "\n) > " + tag +
                             ".out 2>&1\necho $? > " + tag + ".tmp && mv " + tag + ".tmp " + tag +
                             ".rc\n";
    const std::string base = folder + "\\" + tag;
    output.clear();
    if (unixFolder.empty() || !WriteFileText(base + ".sh", body) ||
        !StartOnHost("Z:\\bin\\bash", "/bin/bash \"" + unixFolder + "/" + tag + ".sh\""))
        return -1;
    const bool ended = WaitFor([&] { return Exists(base + ".rc"); }, milliseconds);
    output = ReadFileText(base + ".out");
    const int rc = ended ? std::atoi(ReadFileText(base + ".rc").c_str()) : -1;
    for (const char* suffix : {".sh", ".out", ".rc"})
        DeleteFileA((base + suffix).c_str());
    return rc;
}

bool HostLink(const std::string& link, const std::string& target) {
    const bool make = !target.empty();
    std::string command = make ? "/bin/ln -s" : "/bin/rm -f";
    for (const std::string& path :
         make ? std::vector<std::string>{target, link} : std::vector<std::string>{link}) {
        const std::string name = UnixName(path);
        command += name.empty() ? " /nonexistent" : " \"" + name + "\"";
    }
    StartOnHost(make ? "Z:\\bin\\ln" : "Z:\\bin\\rm", command);
    return WaitFor(
        [&] {
            const DWORD a = GetFileAttributesA(link.c_str());
            return make ? a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT)
                        : a == INVALID_FILE_ATTRIBUTES;
        },
        2000);
}

ScratchDrive::ScratchDrive(const std::string& folder) {
    // C:'s Unix name is <prefix>/dosdevices/c:/.
    const std::string c = UnixName("C:\\");
    const size_t slash = c.rfind("/c:/");
    const std::string target = UnixName(folder);
    if (slash == std::string::npos || target.empty())
        return;
    const DWORD used = GetLogicalDrives();
    for (char letter = 'q'; letter <= 'y'; ++letter) {
        if (!(used & (1u << (letter - 'a'))) && !IsDir(std::string(1, letter) + ":\\")) {
            m_link = c.substr(0, slash + 1) + letter + ":";
            m_letter = static_cast<char>(letter - 'a' + 'A');
            break;
        }
    }
    if (!m_letter ||
        !StartOnHost("Z:\\bin\\ln", "/bin/ln -s \"" + target + "\" \"" + m_link + "\"") ||
        !WaitFor([this] { return IsDir(Root() + "\\"); }, 5000))
        m_letter = 0;
}

ScratchDrive::~ScratchDrive() {
    if (!m_link.empty() && StartOnHost("Z:\\bin\\rm", "/bin/rm -f \"" + m_link + "\""))
        WaitFor([this] { return !IsDir(std::string(1, m_letter) + ":\\"); }, 5000);
}

namespace {
constexpr char kShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
}

ShellFolderRedirect::ShellFolderRedirect(const char* value, const std::string& path)
    : m_value(value) {
    m_had = RegGetValueA(HKEY_CURRENT_USER, kShellFolders, value, RRF_RT_ANY | RRF_NOEXPAND,
                         &m_type, m_data, &m_size) == ERROR_SUCCESS;
    RegSetKeyValueA(HKEY_CURRENT_USER, kShellFolders, value, REG_EXPAND_SZ, path.c_str(),
                    static_cast<DWORD>(path.size() + 1));
}

ShellFolderRedirect::~ShellFolderRedirect() {
    if (m_had)
        RegSetKeyValueA(HKEY_CURRENT_USER, kShellFolders, m_value, m_type, m_data, m_size);
    else
        RegDeleteKeyValueA(HKEY_CURRENT_USER, kShellFolders, m_value);
}

std::string Describe(DWORD code) {
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string t = text;
    t.erase(t.find_last_not_of("\r\n ") + 1);
    char head[32];
    std::snprintf(head, sizeof head, "0x%08lX", static_cast<unsigned long>(code));
    return t.empty() ? head : std::string(head) + " (" + t + ")";
}

bool MakeTree(const std::string& root, const std::string& entries) {
    bool ok = true;
    for (std::string entry : Split(entries)) {
        const char mark = entry[0] == '!' || entry[0] == '^' ? entry[0] : 0;
        if (mark)
            entry.erase(0, 1);
        for (size_t sep = entry.find('\\'); sep != std::string::npos;
             sep = entry.find('\\', sep + 1))
            CreateDirectoryA((root + "\\" + entry.substr(0, sep)).c_str(), nullptr);
        const std::string path = root + "\\" + entry;
        if (entry.back() != '\\')
            ok = WriteFileText(path, entry) && ok;
        // Read back: a file system without DOS attributes takes them silently.
        const DWORD wanted = mark == '!' ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_SYSTEM;
        if (mark && !(SetFileAttributesA(path.c_str(), wanted) &&
                      (GetFileAttributesA(path.c_str()) & wanted)))
            ok = false;
    }
    return ok;
}

std::string TreeMismatch(const std::string& root, const std::string& present,
                         const std::string& absent) {
    const auto full = [&root](const std::string& entry) {
        return entry[0] == '=' ? entry.substr(1) : root + "\\" + entry;
    };
    std::string out;
    for (const std::string& entry : Split(present)) {
        const size_t eq = entry.find('=', 1);
        const std::string path = full(entry.substr(0, eq));
        if (entry.back() == '\\' ? !IsDir(path) : !Exists(path))
            out += " missing: " + entry;
        else if (eq != std::string::npos && ReadFileText(path) != entry.substr(eq + 1))
            out += " other contents: " + entry + " (\"" + ReadFileText(path) + "\")";
    }
    for (const std::string& entry : Split(absent)) {
        if (Exists(full(entry)))
            out += " still there: " + entry;
    }
    return out;
}

ImportHook::ImportHook(HMODULE module, const char* function, void* replacement) {
    if (!module)
        return;
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress)
        return;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         d->Name && !m_slot; ++d) {
        if (!d->OriginalFirstThunk)
            continue;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                m_slot = reinterpret_cast<void**>(&slots->u1.Function);
                break;
            }
        }
    }
    if (!m_slot)
        return;
    m_original = *m_slot;
    Write(replacement);
}

ImportHook::~ImportHook() {
    if (m_slot)
        Write(m_original);
}

void ImportHook::Write(void* target) {
    DWORD old = 0;
    VirtualProtect(m_slot, sizeof(void*), PAGE_READWRITE, &old);
    *m_slot = target;
    VirtualProtect(m_slot, sizeof(void*), old, &old);
}

}  // namespace vesko::test
