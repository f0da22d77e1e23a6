// Application object and message maps of the framework subset.
#pragma once

#include "afx.h"
#include "afxmt.h"
#include "afxdisp.h"

class CCmdTarget;
typedef void (CCmdTarget::*AFX_PMSG)();

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    UINT_PTR nSig;
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP*(PASCAL* pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                            \
  protected:                                             \
    static const AFX_MSGMAP* PASCAL GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)               \
    const AFX_MSGMAP* theClass::GetMessageMap() const {      \
        return GetThisMessageMap();                          \
    }                                                        \
    const AFX_MSGMAP* PASCAL theClass::GetThisMessageMap() { \
        typedef baseClass TheBaseClass;                      \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {
#define END_MESSAGE_MAP()                                                                         \
    { 0, 0, 0, 0, 0, static_cast<AFX_PMSG>(nullptr) }                                             \
    }                                                                                             \
    ;                                                                                             \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
    return &messageMap;                                                                           \
    }

class AFX_API CCmdTarget : public CObject {
  public:
    // The entry that handles nMessage for control nID, searched through this
    // class's map and then its bases'; null when no map has one.
    const AFX_MSGMAP_ENTRY* FindMessageMapEntry(UINT nMessage, UINT nCode, UINT nID) const;

  protected:
    static const AFX_MSGMAP* PASCAL GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

class AFX_API CWinThread : public CCmdTarget {
  public:
    virtual BOOL InitInstance() { return FALSE; }
    virtual int ExitInstance() { return 0; }
};

// The application object. Its constructor registers it with the module state
// of the module that defines it; the module's start-up (DllMain of the static
// part, for a DLL) then calls InitInstance once.
class AFX_API CWinApp : public CWinThread {
  public:
    explicit CWinApp(const char* lpszAppName = nullptr) {
        Construct(AfxGetStaticModuleState(), lpszAppName);
    }
    ~CWinApp() override;

    BOOL InitInstance() override { return TRUE; }
    int ExitInstance() override { return 0; }

    const char* m_pszAppName = nullptr;
    HINSTANCE m_hInstance = nullptr;
    AFX_MODULE_STATE* m_pModuleState = nullptr;

  protected:
    static const AFX_MSGMAP* PASCAL GetThisMessageMap();
    const AFX_MSGMAP* GetMessageMap() const override;

  private:
    void Construct(AFX_MODULE_STATE* pModuleState, const char* lpszAppName);
};

// Start-up of a DLL module: makes its own state current, stores the module
// handle and runs the application object's InitInstance. Called from DllMain
// of the module's static part.
AFX_API BOOL AFXAPI AfxDllProcessAttach(AFX_MODULE_STATE* pModuleState, HINSTANCE hInstance);
AFX_API void AFXAPI AfxDllProcessDetach(AFX_MODULE_STATE* pModuleState);
