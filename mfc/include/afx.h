// Core of the framework subset: exceptions, module state, the narrow string.
#pragma once

#include "afxver_.h"
#include "afxstr.h"

class CWinApp;

class AFX_API CObject {
  public:
    virtual ~CObject();

  protected:
    CObject() = default;
};

// Framework exceptions are thrown by pointer and released by the catcher with
// Delete(), which frees heap-allocated ones and leaves static ones alone.
class AFX_API CException : public CObject {
  public:
    explicit CException(BOOL bAutoDelete = TRUE) : m_bAutoDelete(bAutoDelete) {}
    ~CException() override;
    void Delete();
    virtual BOOL GetErrorMessage(LPSTR lpszError, UINT nMaxError,
                                 PUINT pnHelpContext = nullptr) const;

  protected:
    BOOL m_bAutoDelete;
};

class AFX_API CSimpleException : public CException {
  public:
    explicit CSimpleException(BOOL bAutoDelete = TRUE, UINT nResourceID = 0)
        : CException(bAutoDelete), m_nResourceID(nResourceID) {}
    BOOL GetErrorMessage(LPSTR lpszError, UINT nMaxError,
                         PUINT pnHelpContext = nullptr) const override;

  protected:
    UINT m_nResourceID;
};

class AFX_API CMemoryException : public CSimpleException {
  public:
    explicit CMemoryException(BOOL bAutoDelete = TRUE) : CSimpleException(bAutoDelete) {}
    BOOL GetErrorMessage(LPSTR lpszError, UINT nMaxError,
                         PUINT pnHelpContext = nullptr) const override;
};

class AFX_API CResourceException : public CSimpleException {
  public:
    explicit CResourceException(BOOL bAutoDelete = TRUE) : CSimpleException(bAutoDelete) {}
    BOOL GetErrorMessage(LPSTR lpszError, UINT nMaxError,
                         PUINT pnHelpContext = nullptr) const override;
};

class AFX_API CInvalidArgException : public CSimpleException {
  public:
    explicit CInvalidArgException(BOOL bAutoDelete = TRUE) : CSimpleException(bAutoDelete) {}
};

// Throws the one static CMemoryException (its Delete() does nothing).
AFX_API void AFXAPI AfxThrowMemoryException();
// Throws a newly allocated CResourceException.
AFX_API void AFXAPI AfxThrowResourceException();
AFX_API void AFXAPI AfxThrowInvalidArgException();

// One module's framework state: which module's resources string and dialog
// lookups use, and the module's application object. Plain data so that a
// module's own state is ready before any of its constructors run.
struct AFX_MODULE_STATE {
    HINSTANCE m_hCurrentInstanceHandle;
    HINSTANCE m_hCurrentResourceHandle;
    CWinApp* m_pCurrentWinApp;
    const char* m_lpszCurrentAppName;
};

// The state current on this thread: the last one switched to, else the
// process's (the executable's) own.
AFX_API AFX_MODULE_STATE* AFXAPI AfxGetModuleState();
// Makes pNewState current on this thread; returns the previous one.
AFX_API AFX_MODULE_STATE* AFXAPI AfxSetModuleState(AFX_MODULE_STATE* pNewState);
// The calling module's own state; defined by each module's static part.
AFX_MODULE_STATE* AFXAPI AfxGetStaticModuleState();

AFX_API HINSTANCE AFXAPI AfxGetResourceHandle();
AFX_API void AFXAPI AfxSetResourceHandle(HINSTANCE hInstResource);
AFX_API HINSTANCE AFXAPI AfxGetInstanceHandle();
AFX_API CWinApp* AFXAPI AfxGetApp();

// Switches the thread to a module state for one scope and restores the
// previous state when the scope ends, also when an exception passes.
struct AFX_MAINTAIN_STATE2 {
    explicit AFX_MAINTAIN_STATE2(AFX_MODULE_STATE* pNewState)
        : m_pPrevModuleState(AfxSetModuleState(pNewState)) {}
    ~AFX_MAINTAIN_STATE2() { AfxSetModuleState(m_pPrevModuleState); }
    AFX_MAINTAIN_STATE2(const AFX_MAINTAIN_STATE2&) = delete;
    AFX_MAINTAIN_STATE2& operator=(const AFX_MAINTAIN_STATE2&) = delete;

  private:
    AFX_MODULE_STATE* m_pPrevModuleState;
};

#define AFX_MANAGE_STATE(p) AFX_MAINTAIN_STATE2 _ctlState(p)
