// Export switch of discdatalib.dll: the records of the disc export events.
// One copy of the library per process, shared by the host, veskolib.dll and
// the broker: its classes are exported from the DLL and imported everywhere
// else.
#pragma once

#if defined(DISCDATALIB_BUILD)
#define DISCDATALIB_API __declspec(dllexport)
#else
#define DISCDATALIB_API __declspec(dllimport)
#endif
