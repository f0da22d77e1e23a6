// Owners for the Win32 and COM resources the project handles: every handle,
// find handle, registry key, module, LocalAlloc'd block, BSTR and SAFEARRAY
// gets one, so that every early return frees what it made. Copying is
// deleted; moving transfers ownership.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <utility>

namespace vesko {

// COM interface pointers.
using Microsoft::WRL::ComPtr;

// A resource of type T freed by Close(T) and empty when equal to Invalid().
template <typename Traits>
class UniqueResource {
  public:
    using T = typename Traits::Type;
    UniqueResource() = default;
    explicit UniqueResource(T value) : m_value(value) {}
    ~UniqueResource() { Reset(); }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    T Get() const { return m_value; }
    bool IsValid() const { return m_value != Traits::Invalid(); }
    explicit operator bool() const { return IsValid(); }
    // Frees the current value and takes value instead.
    void Reset(T value = Traits::Invalid()) {
        if (IsValid())
            Traits::Close(m_value);
        m_value = value;
    }
    // Gives up ownership without freeing.
    T Release() { return std::exchange(m_value, Traits::Invalid()); }
    // Frees the current value and exposes the slot to an out-parameter.
    T* Receive() {
        Reset();
        return &m_value;
    }

  private:
    T m_value = Traits::Invalid();
};

namespace traits {
struct Handle {  // CreateFile/CreateEvent/... ; both null and INVALID_HANDLE_VALUE mean none
    using Type = HANDLE;
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE h) {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};
struct FindHandle {
    using Type = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { FindClose(h); }
};
struct RegKey {
    using Type = HKEY;
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};
struct Module {
    using Type = HMODULE;
    static HMODULE Invalid() { return nullptr; }
    static void Close(HMODULE h) { FreeLibrary(h); }
};
struct LocalMemory {
    using Type = HLOCAL;
    static HLOCAL Invalid() { return nullptr; }
    static void Close(HLOCAL h) { LocalFree(h); }
};
struct CoTaskMemory {
    using Type = void*;
    static void* Invalid() { return nullptr; }
    static void Close(void* p) { CoTaskMemFree(p); }
};
struct Bstr {
    using Type = BSTR;
    static BSTR Invalid() { return nullptr; }
    static void Close(BSTR b) { SysFreeString(b); }
};
struct SafeArray {
    using Type = SAFEARRAY*;
    static SAFEARRAY* Invalid() { return nullptr; }
    static void Close(SAFEARRAY* a) { SafeArrayDestroy(a); }
};
}  // namespace traits

using UniqueHandle = UniqueResource<traits::Handle>;
using UniqueFindHandle = UniqueResource<traits::FindHandle>;
using UniqueHKey = UniqueResource<traits::RegKey>;
using UniqueModule = UniqueResource<traits::Module>;
using UniqueLocal = UniqueResource<traits::LocalMemory>;
using UniqueCoTaskMem = UniqueResource<traits::CoTaskMemory>;
using UniqueBstr = UniqueResource<traits::Bstr>;
using UniqueSafeArray = UniqueResource<traits::SafeArray>;

// Holds SafeArrayAccessData for one scope.
class SafeArrayAccess {
  public:
    explicit SafeArrayAccess(SAFEARRAY* array) : m_array(array) {
        m_hr = array ? SafeArrayAccessData(array, &m_data) : E_INVALIDARG;
    }
    ~SafeArrayAccess() {
        if (SUCCEEDED(m_hr))
            SafeArrayUnaccessData(m_array);
    }
    SafeArrayAccess(const SafeArrayAccess&) = delete;
    SafeArrayAccess& operator=(const SafeArrayAccess&) = delete;
    HRESULT Result() const { return m_hr; }
    void* Data() const { return SUCCEEDED(m_hr) ? m_data : nullptr; }

  private:
    SAFEARRAY* m_array;
    void* m_data = nullptr;
    HRESULT m_hr;
};

// Enters COM on this thread for one scope (CoInitializeEx/CoUninitialize).
class ComApartment {
  public:
    explicit ComApartment(DWORD coinit = COINIT_MULTITHREADED)
        : m_hr(CoInitializeEx(nullptr, coinit)) {}
    ~ComApartment() {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT Result() const { return m_hr; }

  private:
    HRESULT m_hr;
};

}  // namespace vesko
