#include "policyfile.h"

#include <windows.h>

#include <cwctype>

#include <vesko/raii.h>

#include "textconvert.h"

namespace vesko::broker {

namespace {

std::wstring Trim(const std::wstring& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::iswspace(text[begin]))
        ++begin;
    while (end > begin && std::iswspace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

}  // namespace

std::wstring PolicyFile::BesideExecutable() {
    wchar_t module[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return {};
    std::wstring path(module, n);
    const size_t slash = path.find_last_of(L"\\/");
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return path + L"veskobroker.policy";
}

bool PolicyFile::Load(const std::wstring& path) {
    m_entries.clear();
    m_badLines.clear();
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE)
        file.Release();
    if (!file)
        return false;
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    // A policy is a few lines; anything past 64 KiB is not one.
    while (bytes.size() < 65536 && ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) &&
           read)
        bytes.append(buffer, read);
    // UTF-8 (with or without its mark) so that any folder name can be written.
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    std::wstring text;
    if (!bytes.empty()) {
        const int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                          nullptr, 0);
        text.resize(static_cast<size_t>(n > 0 ? n : 0));
        if (n > 0)
            MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                text.data(), n);
    }
    unsigned number = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        const std::wstring line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty() || line[0] == L'#' || line[0] == L';')
            continue;
        const size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) {
            m_badLines.push_back(number);
            continue;
        }
        Entry entry;
        entry.line = number;
        entry.name = Trim(line.substr(0, equals));
        for (wchar_t& c : entry.name)
            c = static_cast<wchar_t>(std::towlower(c));
        entry.value = Trim(line.substr(equals + 1));
        if (entry.name.empty() || entry.value.empty()) {
            m_badLines.push_back(number);
            continue;
        }
        m_entries.push_back(std::move(entry));
    }
    return true;
}

}  // namespace vesko::broker
