// Build switches shared by every header of the framework subset.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <oleauto.h>

// The framework is one shared DLL (veskomfc.dll) per process, like the
// vendor's shared runtime; each module also links the small static part
// (veskomfc_module) that owns that module's own module state.
#if defined(VESKOMFC_BUILD)
#define AFX_API __declspec(dllexport)
#else
#define AFX_API __declspec(dllimport)
#endif
#define AFXAPI __stdcall
