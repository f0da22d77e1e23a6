// A stand-in for the browser's ieframe.dll, for tests and the demo only (never
// installed): Wine's own ieframe.dll has no IEIsProtectedModeProcess, so
// without this a host can never find itself in protected mode.
//
// The answer of IEIsProtectedModeProcess comes from, in this order:
//   - the answer a test set in-process with VeskoIeframeSetAnswer;
//   - environment variable VESKO_IEFRAME_ANSWER, read at each call;
//   - "direct".
// Answers:
//   protected       writes TRUE,  returns S_OK
//   direct          writes FALSE, returns S_OK
//   fail-protected  writes TRUE,  returns E_FAIL (only the BOOL may count)
//   silent          writes nothing, returns S_OK
//   anything else   writes FALSE, returns E_INVALIDARG
// The run scripts set WINEDLLOVERRIDES=ieframe=n,b so that the copy beside
// the program is loaded instead of Wine's.
#pragma once

#include <windows.h>

extern "C" {
using VeskoIeframeHook = void(WINAPI*)(void* pContext);
}

// In-process control, for a test that loads the stand-in itself (its own
// reference keeps the stand-in's state alive between the library's loads).
class IeframeStandin {
  public:
    IeframeStandin() : m_module(LoadLibraryA("ieframe.dll")) {
        if (!m_module)
            return;
        m_setAnswer =
            reinterpret_cast<SetAnswerFn>(GetProcAddress(m_module, "VeskoIeframeSetAnswer"));
        m_callCount =
            reinterpret_cast<CallCountFn>(GetProcAddress(m_module, "VeskoIeframeCallCount"));
        m_reset = reinterpret_cast<ResetFn>(GetProcAddress(m_module, "VeskoIeframeReset"));
        m_setHook = reinterpret_cast<SetHookFn>(GetProcAddress(m_module, "VeskoIeframeSetHook"));
    }
    ~IeframeStandin() {
        if (m_module)
            FreeLibrary(m_module);
    }
    IeframeStandin(const IeframeStandin&) = delete;
    IeframeStandin& operator=(const IeframeStandin&) = delete;

    // False when the ieframe.dll that loaded is not the stand-in (Wine's own).
    bool IsLoaded() const { return m_setAnswer && m_callCount && m_reset && m_setHook; }
    // Null: back to the environment variable.
    void SetAnswer(const char* pszAnswer) const { m_setAnswer(pszAnswer); }
    LONG CallCount() const { return m_callCount(); }
    // Answer back to the environment, count to 0, no hook.
    void Reset() const { m_reset(); }
    // Called at the start of every IEIsProtectedModeProcess; null removes it.
    void SetHook(VeskoIeframeHook hook, void* pContext) const { m_setHook(hook, pContext); }

  private:
    using SetAnswerFn = void(WINAPI*)(const char*);
    using CallCountFn = LONG(WINAPI*)();
    using ResetFn = void(WINAPI*)();
    using SetHookFn = void(WINAPI*)(VeskoIeframeHook, void*);

    HMODULE m_module;
    SetAnswerFn m_setAnswer = nullptr;
    CallCountFn m_callCount = nullptr;
    ResetFn m_reset = nullptr;
    SetHookFn m_setHook = nullptr;
};
