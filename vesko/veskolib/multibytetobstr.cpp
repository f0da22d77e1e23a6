#include "multibytetobstr.h"

#include <afx.h>

BSTR MultiByteToBSTR(const char* text) {
    if (!text)
        return nullptr;

    // The measured count includes the terminator; SysAllocStringLen adds its own.
    const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0)
        return nullptr;
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(n - 1));
    if (!result)
        return nullptr;
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, result, n) != n) {
        SysFreeString(result);
        return nullptr;
    }
    return result;
}

namespace vesko {

UniqueBstr MakeBstr(const char* text) {
    UniqueBstr result(MultiByteToBSTR(text));
    if (text && !result)
        AfxThrowMemoryException();
    return result;
}

}  // namespace vesko
