// Text conversions at the broker's COM boundary. Paths reach the worker as
// narrow strings in the ANSI code page, as the library itself keeps them.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include <afxstr.h>

namespace vesko::broker {

using CString = CStringT<char, StrTraitMFC_DLL<char>>;

// The BSTR's characters, its stated length included (embedded NULs kept).
std::wstring FromBstr(BSTR text);
// True when the BSTR's stated length runs past its first NUL.
bool HasEmbeddedNul(BSTR text);

// Converts strictly: false when a character has no exact ANSI form. Best-fit
// mapping would let a crafted name turn into another one (a full-width
// solidus into '\', for example) after the policy has looked at it.
bool ToAnsi(const std::wstring& text, CString& out);
std::wstring FromAnsi(const char* text);
// A new BSTR (the caller owns it); null only when out of memory.
BSTR ToBstr(const std::wstring& text);
BSTR ToBstr(const char* ansi);

// For the audit log: UTF-8, quoted, control characters and NUL escaped,
// cut after `limit` characters so that a hostile caller cannot flood it.
std::string ForLog(const std::wstring& text, size_t limit = 300);
std::string ForLog(BSTR text, size_t limit = 300);
std::string Hex(unsigned long value);

}  // namespace vesko::broker
