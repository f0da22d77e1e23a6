// The stand-in ieframe.dll; see include/ieframestandin.h for its answers.
#include <windows.h>

#include <cstring>

#include "ieframestandin.h"

namespace {

LONG g_calls = 0;
// The in-process answer; empty = ask the environment. Guarded by g_lock: a
// test may change it while a library thread asks.
char g_answer[32] = {};
SRWLOCK g_lock = SRWLOCK_INIT;
VeskoIeframeHook g_hook = nullptr;
void* g_hookContext = nullptr;

void CurrentAnswer(char (&answer)[32]) {
    AcquireSRWLockShared(&g_lock);
    std::memcpy(answer, g_answer, sizeof answer);
    ReleaseSRWLockShared(&g_lock);
    if (answer[0])
        return;
    const DWORD n = GetEnvironmentVariableA("VESKO_IEFRAME_ANSWER", answer, sizeof answer);
    if (n == 0 || n >= sizeof answer)
        lstrcpynA(answer, "direct", sizeof answer);
}

}  // namespace

extern "C" {

__declspec(dllexport) HRESULT WINAPI IEIsProtectedModeProcess(BOOL* pbResult) {
    InterlockedIncrement(&g_calls);
    AcquireSRWLockShared(&g_lock);
    const VeskoIeframeHook hook = g_hook;
    void* const pContext = g_hookContext;
    ReleaseSRWLockShared(&g_lock);
    if (hook)
        hook(pContext);

    char answer[32];
    CurrentAnswer(answer);
    if (lstrcmpA(answer, "protected") == 0) {
        *pbResult = TRUE;
        return S_OK;
    }
    if (lstrcmpA(answer, "direct") == 0) {
        *pbResult = FALSE;
        return S_OK;
    }
    if (lstrcmpA(answer, "fail-protected") == 0) {
        *pbResult = TRUE;
        return E_FAIL;
    }
    if (lstrcmpA(answer, "silent") == 0)
        return S_OK;
    *pbResult = FALSE;
    return E_INVALIDARG;
}

__declspec(dllexport) void WINAPI VeskoIeframeSetAnswer(const char* pszAnswer) {
    AcquireSRWLockExclusive(&g_lock);
    lstrcpynA(g_answer, pszAnswer ? pszAnswer : "", sizeof g_answer);
    ReleaseSRWLockExclusive(&g_lock);
}

__declspec(dllexport) LONG WINAPI VeskoIeframeCallCount() {
    return InterlockedCompareExchange(&g_calls, 0, 0);
}

__declspec(dllexport) void WINAPI VeskoIeframeReset() {
    AcquireSRWLockExclusive(&g_lock);
    g_answer[0] = '\0';
    g_hook = nullptr;
    g_hookContext = nullptr;
    ReleaseSRWLockExclusive(&g_lock);
    InterlockedExchange(&g_calls, 0);
}

__declspec(dllexport) void WINAPI VeskoIeframeSetHook(VeskoIeframeHook hook, void* pContext) {
    AcquireSRWLockExclusive(&g_lock);
    g_hook = hook;
    g_hookContext = pContext;
    ReleaseSRWLockExclusive(&g_lock);
}

}  // extern "C"
