// The IDiscFormat2DataEventArgs an Update of the double's data writer
// carries: a snapshot of the write at the moment it is raised.
#pragma once

#include "comdouble.h"
#include "imapi2/imapi2defs.h"

class DataEventArgsDouble final : public DispatchStub<IDiscFormat2DataEventArgs>,
                                  public RefCounted<DataEventArgsDouble> {
  public:
    struct Values {
        LONG startLba = 0, sectorCount = 0, lastReadLba = 0, lastWrittenLba = 0;
        LONG elapsed = 0, remaining = 0, total = 0;
        IMAPI_FORMAT2_DATA_WRITE_ACTION action = IMAPI_FORMAT2_DATA_WRITE_ACTION_WRITING_DATA;
    };
    explicit DataEventArgsDouble(const Values& values) : m_values(values) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE get_StartLba(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_SectorCount(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_LastReadLba(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_LastWrittenLba(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_TotalSystemBuffer(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_UsedSystemBuffer(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_FreeSystemBuffer(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_ElapsedTime(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_RemainingTime(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_TotalTime(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_CurrentAction(IMAPI_FORMAT2_DATA_WRITE_ACTION* value) override;

  private:
    Values m_values;
};
