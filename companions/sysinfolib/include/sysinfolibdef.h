// Export switch of sysinfolib.dll: the observer base and the system questions.
// One copy of the library per process, shared by the host, veskolib.dll and
// the broker: its classes are exported from the DLL and imported everywhere
// else.
#pragma once

#if defined(SYSINFOLIB_BUILD)
#define SYSINFOLIB_API __declspec(dllexport)
#else
#define SYSINFOLIB_API __declspec(dllimport)
#endif
