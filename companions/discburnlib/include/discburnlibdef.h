// Export switch of discburnlib.dll: the disc export interface and its recorder.
// One copy of the library per process, shared by the host, veskolib.dll and
// the broker: its classes are exported from the DLL and imported everywhere
// else.
#pragma once

#if defined(DISCBURNLIB_BUILD)
#define DISCBURNLIB_API __declspec(dllexport)
#else
#define DISCBURNLIB_API __declspec(dllimport)
#endif
