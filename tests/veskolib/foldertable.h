// The worker's folder table: each entry, the base it lies under and the tail
// the worker adds to it, for the tests that resolve the bases themselves.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

#include <sfileio.h>

namespace vesko::test {

inline const KNOWNFOLDERID kLocalLow = {
    0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
inline const KNOWNFOLDERID kPublic = {
    0xDFDF76A2, 0xC82A, 0x4D63, {0x90, 0x6A, 0x56, 0x44, 0xAC, 0x45, 0x73, 0x85}};
inline const KNOWNFOLDERID kDocuments = {
    0xFDD39AD0, 0x238F, 0x46AF, {0xAD, 0xB4, 0x6C, 0x85, 0x48, 0x03, 0x69, 0xC7}};

// The shell's answer without a trailing separator, "" when it has none.
inline std::string KnownFolder(const KNOWNFOLDERID& id) {
    PWSTR wide = nullptr;
    if (FAILED(SHGetKnownFolderPath(id, 0, nullptr, &wide)))
        return {};
    char narrow[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
    CoTaskMemFree(wide);
    std::string s = narrow;
    if (!s.empty() && (s.back() == '\\' || s.back() == '/'))
        s.pop_back();
    return s;
}

enum class Base { kLocalLow, kCompany, kDocuments };
struct FolderEntry {
    const CString& (SFileIO::*get)() const;
    Base base;
    const char* tail;
};
// Every entry but the LE cache folder, which only a version override makes.
inline const FolderEntry kFolderTable[] = {
    {&SFileIO::GetWritableDir, Base::kLocalLow, "\\Cadra\\4.7\\Temp"},
    {&SFileIO::GetUserMachinePrefDir, Base::kLocalLow, "\\Cadra\\4.7\\MachinePref"},
    {&SFileIO::GetExportTempDir, Base::kLocalLow, "\\Cadra\\4.7\\My PixmurExport"},
    {&SFileIO::GetNorvaneDirValue, Base::kCompany, ""},
    {&SFileIO::GetLogDir, Base::kCompany, "\\CadraLogs"},
    {&SFileIO::GetMachinePrefDir, Base::kCompany, "\\MachinePref"},
    {&SFileIO::GetUserActivityLogDir, Base::kCompany, "\\CadraUserActivityLogs"},
    {&SFileIO::GetDumpDir, Base::kCompany, "\\CadraErrors"},
    {&SFileIO::GetZipDir, Base::kCompany, "\\CadraErrors\\CrashFiles_Zipped"},
    {&SFileIO::GetDefaultDumpDir, Base::kCompany, "\\CadraLogs\\Dumps"},
    {&SFileIO::GetUserDocDir, Base::kDocuments, ""},
};

// The bases as the shell resolves them now; the company folder lies in Public.
struct Bases {
    std::string low = KnownFolder(kLocalLow);
    std::string company = KnownFolder(kPublic) + "\\Norvane\\4.7";
    std::string docs = KnownFolder(kDocuments);
    std::string Expected(const FolderEntry& entry) const {
        const std::string& base = entry.base == Base::kLocalLow  ? low
                                  : entry.base == Base::kCompany ? company
                                                                 : docs;
        return base + entry.tail;
    }
};

}  // namespace vesko::test
