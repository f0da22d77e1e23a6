// What the protected-mode tests share: the library's security attributes
// (whose identity the broker checks), the mode a new manager finds, and
// helpers to watch broker processes.
#pragma once

#include <windows.h>

#include <vector>

#include "veskosecurityattributes.h"

namespace vesko::test {

// Initialised security attributes for the whole test program.
VeskoSecurityAttributes& Attrs();

// What the stand-in ieframe.dll answers for managers built from now on.
void ChooseMode(bool bProtected);

// The HRESULT the Global Interface Table gives when asked for riid under a
// cookie that holds nothing (what a service without a broker must report).
HRESULT LookupFailureFor(REFIID riid);

// Process ids of every running veskobroker.exe; the one that is not in
// before, or 0 when none or several are.
std::vector<DWORD> BrokerProcesses();
DWORD NewBroker(const std::vector<DWORD>& before);
// Terminates a process and waits until it is gone.
bool Kill(DWORD processId);

// The open handle count of a process (GetProcessHandleCount, or the system
// handle table where that answers 0), or 0 when neither can be read.
DWORD HandleCountOf(DWORD processId);

}  // namespace vesko::test
