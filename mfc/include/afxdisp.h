// OLE support of the framework subset: the OLE exception.
#pragma once

#include "afx.h"

class AFX_API COleException : public CException {
  public:
    explicit COleException(SCODE sc = S_OK) : m_sc(sc) {}
    BOOL GetErrorMessage(LPSTR lpszError, UINT nMaxError,
                         PUINT pnHelpContext = nullptr) const override;
    static SCODE PASCAL Process(const CException* pAnyException);

    SCODE m_sc;
};

// Throws a newly allocated COleException carrying sc; E_OUTOFMEMORY becomes
// the memory exception, as the framework does.
AFX_API void AFXAPI AfxThrowOleException(SCODE sc);
