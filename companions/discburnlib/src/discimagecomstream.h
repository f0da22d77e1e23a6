// DiscImageComStream: a DiscImage as the read-only COM IStream IMAPI2's data writer
// takes. The image is laid out, not materialised: each Read produces its
// sectors from the source files. Reference counted; the stream owns the
// image. Safe to call from several threads (IMAPI2 may read from its own).
#pragma once

#include "discimage.h"

#include <objidl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <vesko/raii.h>

class DiscImageComStream final : public IStream {
  public:
    // The stream over image; name is what Stat reports.
    static vesko::ComPtr<IStream> Create(std::unique_ptr<DiscImage> image, std::wstring name);
    // True after a Read found a source file changed or gone: what was read
    // is not the image that was promised.
    bool Failed() const { return m_failed.load(); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // ISequentialStream
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override;
    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG size, ULONG* written) override;
    // IStream
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* position) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size,
                                         DWORD type) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size,
                                           DWORD type) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream** stream) override;

  private:
    DiscImageComStream(std::unique_ptr<DiscImage> image, std::wstring name);
    ~DiscImageComStream() = default;

    std::atomic<ULONG> m_refs{1};
    std::mutex m_mutex;  // the image has one read position
    std::unique_ptr<DiscImage> m_pImage;
    std::wstring m_name;
    std::atomic<bool> m_failed{false};
};
