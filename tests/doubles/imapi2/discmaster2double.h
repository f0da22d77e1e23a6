// MsftDiscMaster2 of the double: the recorders the scenario lists.
#pragma once

#include "comdouble.h"
#include "imapi2/imapi2defs.h"

#include <string>

class DiscMaster2Double final : public DispatchStub<IDiscMaster2>,
                                public RefCounted<DiscMaster2Double> {
  public:
    // The unique id the double gives the recorder of a drive letter, and back.
    static std::wstring IdFor(wchar_t letter);
    static wchar_t LetterOf(const wchar_t* id);
    // The letter of the recorder a format is given (its active recorder's
    // id); 0 for one the double does not know.
    static wchar_t LetterOf(IDiscRecorder2* recorder);
    // The scenario's letters, upper case.
    static std::wstring Letters();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE get__NewEnum(IEnumVARIANT** ppunk) override;
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_Count(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_IsSupportedEnvironment(VARIANT_BOOL* value) override;
};
