// A host compiled with UNICODE and _UNICODE: the framework string's
// LoadString is LoadStringW here, and must still load this program's own
// narrow text. It also asks the library for its manager, so the library's
// headers and DLL are used the way such a host uses them.
#include <windows.h>

#include <iomanager.h>
#include <fileioservice.h>

#include <cstdio>
#include <cstring>

#include "unicodehost.h"

int main() {
    static_assert(sizeof(TCHAR) == sizeof(wchar_t), "built without UNICODE");
    CString text;
    const BOOL found = text.LoadString(IDS_UNICODEHOST_GREETING);
    std::printf("loaded: %d \"%s\"\n", found, text.GetString());
    CString missing = "untouched";
    const BOOL foundMissing = missing.LoadString(4242);
    std::printf("unknown id: %d \"%s\"\n", foundMissing, missing.GetString());

    IOManager& manager = IOManager::GetIOManager();
    std::printf("mode: %s, file service: %s\n",
                manager.IsIEProtectedMode() ? "protected" : "direct",
                manager.GetFileIOService() ? "yes" : "no");
    IOManager::ReleaseIOManager();

    const bool ok = found && std::strcmp(text.GetString(), "Greetings from a UNICODE host") == 0 &&
                    !foundMissing && std::strcmp(missing.GetString(), "untouched") == 0;
    std::printf("%s\n", ok ? "unicode host: ok" : "unicode host: FAILED");
    return ok ? 0 : 1;
}
