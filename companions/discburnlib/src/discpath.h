// Path helpers the recorders share. Narrow paths are in the ANSI code page,
// as the drive and source texts the host gives.
#pragma once

#include <windows.h>

#include <vesko/raii.h>

#include <string>

namespace discpath {

bool IsFolder(const std::string& path);
// folder + "\" + relative (no doubled separator; relative may be empty).
std::string Join(const std::string& folder, const std::string& relative);
bool IsSeparator(char c);
// Drops trailing separators, keeping the one of a drive root ("C:\").
void TrimSeparators(std::string& path);
// The absolute form of path, without trailing separators.
std::string FullPath(const std::string& path);
// path is prefix or lies below it (case-insensitive, as the file system).
bool IsWithin(const std::string& path, const std::string& prefix);
// Whether folder\name leads elsewhere: a reparse point by its handle, or a
// final path that is not the folder's own followed by the name. Wine shows a
// host link to a file as the file itself; only its final path gives it away.
// What cannot be checked counts as a link.
bool IsLinkedFile(const std::string& folder, const std::string& name);
// The same for names of any Unicode; folderFinal is FinalPath of the
// folder, looked up once for all its names.
bool IsLinkedFile(const std::wstring& folder, const std::wstring& folderFinal,
                  const std::wstring& name);
// Opens path for its attributes only, without following a link at its end;
// empty when it cannot be opened.
vesko::UniqueHandle OpenAttributes(const std::wstring& path);
// The final path the system gives for an open handle ("" when none).
std::wstring FinalPath(HANDLE handle);
// text (ANSI code page) in UTF-16.
std::wstring Wide(const std::string& text);
// Creates a file beside target that no other file uses (target +
// ".~burn<process>-<n>"), opened for access without sharing; name gets its
// path. Empty (and name "") when none could be made.
vesko::UniqueHandle CreateTemporary(const std::string& target, DWORD access, std::string& name);

}  // namespace discpath
