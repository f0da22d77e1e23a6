// Starts the HTML Help viewer for the host. Only the viewer itself is ever
// started ("hh.exe" in the Windows folder, by its full path), with the help
// file as its one quoted argument: no shell, no verb lookup, no second
// argument. At most one viewer started by this broker is open; the next
// request ends the previous one, and the broker ends it when it ends itself.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

#include <vesko/raii.h>

namespace vesko::broker {

class PathPolicy;

class HelpViewer {
  public:
    HelpViewer() = default;
    ~HelpViewer();
    HelpViewer(const HelpViewer&) = delete;
    HelpViewer& operator=(const HelpViewer&) = delete;

    // Shows "<file>.chm" or "<file>.chm::/topic" when the file lies in one of
    // the policy's help folders (PathPolicy::HelpRefusal). Returns the Win32
    // result code. `refusal` is set (and the code is ERROR_ACCESS_DENIED)
    // when the request is not served; `commandLine` receives what was run.
    DWORD Show(const std::wstring& request, const PathPolicy& policy, const char*& refusal,
               std::wstring& commandLine);
    // Ends the viewer this object started, if it still runs.
    void End();
    DWORD ProcessId() const;

  private:
    mutable std::mutex m_lock;
    UniqueHandle m_process;
};

}  // namespace vesko::broker
