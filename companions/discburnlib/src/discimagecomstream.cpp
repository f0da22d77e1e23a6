#include "discimagecomstream.h"

#include <algorithm>
#include <cstring>

vesko::ComPtr<IStream> DiscImageComStream::Create(std::unique_ptr<DiscImage> image,
                                                  std::wstring name) {
    vesko::ComPtr<IStream> stream;
    // The reference the object starts with goes to the ComPtr through its
    // address: mingw-w64's ComPtr::Attach adds a reference of its own
    // (unlike the Windows SDK's), which would keep the stream, its image and
    // the image's open source file alive for good.
    *stream.ReleaseAndGetAddressOf() = new DiscImageComStream(std::move(image), std::move(name));
    return stream;
}

DiscImageComStream::DiscImageComStream(std::unique_ptr<DiscImage> image, std::wstring name)
    : m_pImage(std::move(image)), m_name(std::move(name)) {}

HRESULT DiscImageComStream::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
        *object = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG DiscImageComStream::AddRef() {
    return ++m_refs;
}

ULONG DiscImageComStream::Release() {
    const ULONG left = --m_refs;
    if (left == 0)
        delete this;  // the last reference owns the stream (COM reference counting)
    return left;
}

HRESULT DiscImageComStream::Read(void* buffer, ULONG size, ULONG* read) {
    if (read)
        *read = 0;
    if (!buffer && size)
        return STG_E_INVALIDPOINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    ULONG total = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (total < size) {
        size_t got = 0;
        if (!m_pImage->Read(bytes + total, size - total, got)) {
            m_failed = true;
            if (read)
                *read = total;
            return STG_E_READFAULT;
        }
        if (got == 0)
            break;  // the end of the image
        total += static_cast<ULONG>(got);
    }
    if (read)
        *read = total;
    // ISequentialStream: S_FALSE when fewer bytes than asked were read.
    return total == size ? S_OK : S_FALSE;
}

HRESULT DiscImageComStream::Write(const void*, ULONG, ULONG* written) {
    if (written)
        *written = 0;
    return STG_E_ACCESSDENIED;
}

HRESULT DiscImageComStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) {
    std::lock_guard<std::mutex> lock(m_mutex);
    long long base = 0;
    switch (origin) {
        case STREAM_SEEK_SET:
            base = 0;
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<long long>(m_pImage->Position());
            break;
        case STREAM_SEEK_END:
            base = static_cast<long long>(m_pImage->ByteCount());
            break;
        default:
            return STG_E_INVALIDFUNCTION;
    }
    const long long target = base + move.QuadPart;
    if (target < 0)
        return STG_E_INVALIDFUNCTION;
    // Past the end reads nothing, as on any read-only stream; the image
    // itself only moves within its bytes.
    const unsigned long long clamped = std::min<unsigned long long>(
        static_cast<unsigned long long>(target), m_pImage->ByteCount());
    if (!m_pImage->Seek(clamped))
        return STG_E_SEEKERROR;
    if (position)
        position->QuadPart = clamped;
    return S_OK;
}

HRESULT DiscImageComStream::SetSize(ULARGE_INTEGER) {
    return STG_E_ACCESSDENIED;
}

HRESULT DiscImageComStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) {
    return E_NOTIMPL;
}

HRESULT DiscImageComStream::Commit(DWORD) {
    return S_OK;
}

HRESULT DiscImageComStream::Revert() {
    return S_OK;
}

HRESULT DiscImageComStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT DiscImageComStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT DiscImageComStream::Stat(STATSTG* stat, DWORD flags) {
    if (!stat)
        return STG_E_INVALIDPOINTER;
    std::memset(stat, 0, sizeof(*stat));
    if (!(flags & STATFLAG_NONAME)) {
        const size_t bytes = (m_name.size() + 1) * sizeof(wchar_t);
        stat->pwcsName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
        if (!stat->pwcsName)
            return E_OUTOFMEMORY;
        std::memcpy(stat->pwcsName, m_name.c_str(), bytes);
    }
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = m_pImage->ByteCount();
    stat->grfMode = STGM_READ | STGM_SHARE_DENY_WRITE;
    return S_OK;
}

HRESULT DiscImageComStream::Clone(IStream** stream) {
    if (stream)
        *stream = nullptr;
    return E_NOTIMPL;
}
