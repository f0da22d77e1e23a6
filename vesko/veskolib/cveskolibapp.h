// The library's application object. At load it lets BaseWinApp choose the
// library's resources (a language satellite beside the DLL when there is
// one); afterwards it serves localized strings from them.
#pragma once

#include <afxwin.h>

#include <basewinapp.h>

#include "veskolibdef.h"

class VESKOLIB_API CVeskoLibApp : public BaseWinApp {
  public:
    CVeskoLibApp();
    ~CVeskoLibApp() override;

    // Sets up the library's resources; always TRUE.
    BOOL InitInstance() override;

    // String id from the library's resources (useLibraryState != 0) or from
    // the caller's current module state (0). An unknown id throws a new
    // CResourceException (the catcher calls Delete()); the caller's module
    // state is restored either way.
    static CString LoadStringA(int useLibraryState, unsigned int id);

    DECLARE_MESSAGE_MAP()
};

#if defined(VESKOLIB_EXPORTS) || defined(VESKOLIB_STATIC)
// The one application object of the module that carries the library: defined
// by veskolib.dll's start-up code (or by a program that links the library's
// classes itself). Code of the library reaches it through this name.
extern CVeskoLibApp theApp;
#endif
