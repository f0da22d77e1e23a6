// What the protected-mode tests share: an MTA main thread, the library's
// security attributes (whose identity the broker checks), the real broker,
// and small helpers to watch broker processes.
#pragma once

#include <windows.h>

#include <veskobroker.h>
#include <vesko/raii.h>

#include <string>
#include <vector>

#include "veskosecurityattributes.h"

namespace vesko::test {

// Initialised security attributes for the whole test program.
VeskoSecurityAttributes& Attrs();

// A new broker object in a new broker process, or null with the failure.
ComPtr<IBroker> StartBroker(HRESULT* pHr = nullptr);
DWORD BrokerProcessId(IBroker* broker);

// The HRESULT the Global Interface Table gives when asked for riid under a
// cookie that holds nothing (what a service with cookie 0 must report).
HRESULT LookupFailureFor(REFIID riid);

// Process ids of every running veskobroker.exe.
std::vector<DWORD> BrokerProcesses();
// The open handle count of a process (GetProcessHandleCount, or the
// system handle table where that answers 0), or 0 when neither can be read.
DWORD HandleCountOf(DWORD processId);

// Sets one of the named events shared with the broker.
bool SignalNamed(const char* name);

// Text of an HRESULT or Win32 code for failure messages.
std::string Hex(unsigned long value);

}  // namespace vesko::test
