// Narrow (ANSI code page) text to BSTR, for every broker call that sends text.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <vesko/raii.h>

// A new BSTR holding text converted from the thread's ANSI code page; null
// for a null text, and null when the conversion or the allocation fails. An
// empty text gives an empty, non-null BSTR. The caller frees the result.
BSTR MultiByteToBSTR(const char* text);

namespace vesko {

// MultiByteToBSTR for a caller that must not go on without the string: a
// non-null text that cannot be converted raises the framework's memory
// exception. Owners already made by the caller free themselves as it passes.
UniqueBstr MakeBstr(const char* text);

}  // namespace vesko
