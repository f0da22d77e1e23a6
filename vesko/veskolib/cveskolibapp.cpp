#include "cveskolibapp.h"

BEGIN_MESSAGE_MAP(CVeskoLibApp, CWinApp)
END_MESSAGE_MAP()

CVeskoLibApp::CVeskoLibApp() = default;

CVeskoLibApp::~CVeskoLibApp() = default;

BOOL CVeskoLibApp::InitInstance() {
    InitializeResources(AfxGetStaticModuleState());
    // The base start-up has nothing the library depends on.
    BaseWinApp::InitInstance();
    return TRUE;
}

CString CVeskoLibApp::LoadStringA(int useLibraryState, unsigned int id) {
    CString str;
    BOOL bLoaded = FALSE;
    if (useLibraryState) {
        // The switch is per thread and undone on every way out of the scope.
        AFX_MAINTAIN_STATE2 state(AfxGetStaticModuleState());
        bLoaded = str.LoadString(id);
    } else {
        bLoaded = str.LoadString(id);
    }
    if (!bLoaded)
        AfxThrowResourceException();
    return str;
}
