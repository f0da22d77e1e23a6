// Imapi2Advice: a sink advised on an IMAPI2 format's connection point for
// one scope.
#pragma once

#include <ocidl.h>

#include <vesko/raii.h>

// Advises a sink on a format's connection point for one scope and unadvises
// it afterwards, so that no Update reaches a job that has ended.
class Imapi2Advice {
  public:
    Imapi2Advice(IUnknown* source, REFIID events, IDispatch* sink);
    ~Imapi2Advice();
    Imapi2Advice(const Imapi2Advice&) = delete;
    Imapi2Advice& operator=(const Imapi2Advice&) = delete;
    HRESULT Result() const { return m_hr; }

  private:
    vesko::ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
    HRESULT m_hr = E_FAIL;
};
