// Result codes of the library in words, for the demo's console output.
#pragma once

#include <windows.h>

#include <string>

#include <cdexpservice.h>

namespace veskohost {

// "0 (The operation completed successfully.)", "0xFFFFFFFF (refused by the
// library)", or the system's text of a Win32 code or HRESULT.
std::string ResultText(DWORD code);
// The name and meaning of a disc export result.
std::string DiscResultText(CD::EError error);

}  // namespace veskohost
