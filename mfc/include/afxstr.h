// The framework's narrow string: CStringT<char, StrTraitMFC_DLL<char>>.
// Header-only so that both sides of a module boundary share one definition.
#pragma once

#include "afxver_.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

// Thrown through AfxThrowMemoryException (afx.h) when a conversion fails.
AFX_API void AFXAPI AfxThrowMemoryException();
AFX_API void AFXAPI AfxThrowInvalidArgException();
// Resource module of the module state current on this thread.
AFX_API HINSTANCE AFXAPI AfxGetResourceHandle();

template <typename BaseType>
struct StrTraitMFC_DLL {};

// The string's storage. It comes from the C runtime's heap, which every
// module of the process shares, and running out of it is the framework's
// memory exception, as with the vendor's string: a host catches
// CMemoryException*, where a std::bad_alloc would pass its handlers by.
template <typename T>
struct CStringAllocator {
    using value_type = T;
    CStringAllocator() noexcept = default;
    template <typename U>
    CStringAllocator(const CStringAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        void* p = n <= static_cast<size_t>(-1) / sizeof(T) ? std::malloc(n * sizeof(T)) : nullptr;
        if (!p)
            AfxThrowMemoryException();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { std::free(p); }
    friend bool operator==(const CStringAllocator&, const CStringAllocator&) { return true; }
    friend bool operator!=(const CStringAllocator&, const CStringAllocator&) { return false; }
};

template <typename BaseType, class StringTraits>
class CStringT;

template <class StringTraits>
class CStringT<char, StringTraits> {
  public:
    using XCHAR = char;
    using PXSTR = char*;
    using PCXSTR = const char*;
    using StringType = std::basic_string<char, std::char_traits<char>, CStringAllocator<char>>;

    CStringT() = default;
    CStringT(const CStringT&) = default;
    CStringT(CStringT&&) noexcept = default;
    CStringT(PCXSTR psz) : m_str(psz ? psz : "") {}
    CStringT(PCXSTR pch, int nLength)
        : m_str(pch ? StringType(pch, Clamp(nLength)) : StringType()) {}
    CStringT(char ch, int nRepeat = 1) : m_str(Clamp(nRepeat), ch) {}
    // Wide text is converted in the calling thread's ANSI code page.
    CStringT(const wchar_t* psz) { AssignWide(psz, -1); }
    CStringT(const wchar_t* pch, int nLength) { AssignWide(pch, nLength); }
    ~CStringT() = default;

    CStringT& operator=(const CStringT&) = default;
    CStringT& operator=(CStringT&&) noexcept = default;
    CStringT& operator=(PCXSTR psz) {
        m_str = psz ? psz : "";
        return *this;
    }
    CStringT& operator=(const wchar_t* psz) {
        AssignWide(psz, -1);
        return *this;
    }
    CStringT& operator=(char ch) {
        m_str.assign(1, ch);
        return *this;
    }

    CStringT& operator+=(const CStringT& s) {
        m_str += s.m_str;
        return *this;
    }
    CStringT& operator+=(PCXSTR psz) {
        if (psz)
            m_str += psz;
        return *this;
    }
    CStringT& operator+=(char ch) {
        m_str += ch;
        return *this;
    }
    friend CStringT operator+(const CStringT& a, const CStringT& b) { return CStringT(a) += b; }
    friend CStringT operator+(const CStringT& a, PCXSTR b) { return CStringT(a) += b; }
    friend CStringT operator+(PCXSTR a, const CStringT& b) { return CStringT(a) += b; }
    friend CStringT operator+(const CStringT& a, char b) { return CStringT(a) += b; }
    friend CStringT operator+(char a, const CStringT& b) { return CStringT(a) += b; }

    friend bool operator==(const CStringT& a, const CStringT& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CStringT& a, PCXSTR b) { return a.Compare(b) == 0; }
    friend bool operator==(PCXSTR a, const CStringT& b) { return b.Compare(a) == 0; }
    friend bool operator!=(const CStringT& a, const CStringT& b) { return !(a == b); }
    friend bool operator!=(const CStringT& a, PCXSTR b) { return !(a == b); }
    friend bool operator!=(PCXSTR a, const CStringT& b) { return !(a == b); }
    friend bool operator<(const CStringT& a, const CStringT& b) { return a.m_str < b.m_str; }

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    PCXSTR GetString() const { return m_str.c_str(); }
    operator PCXSTR() const { return m_str.c_str(); }
    // The terminator may be read, as with the framework's string; any other
    // index outside the text is the framework's invalid-argument exception.
    char GetAt(int i) const {
        if (i < 0 || i > GetLength())
            AfxThrowInvalidArgException();
        return m_str.c_str()[i];
    }
    char operator[](int i) const { return GetAt(i); }
    void SetAt(int i, char ch) {
        if (i < 0 || i >= GetLength())
            AfxThrowInvalidArgException();
        m_str[static_cast<size_t>(i)] = ch;
    }

    // Buffer access: the buffer holds at least nMinLength characters plus the
    // terminator until ReleaseBuffer fixes the length.
    PXSTR GetBuffer() { return &m_str[0]; }
    PXSTR GetBuffer(int nMinLength) {
        if (nMinLength > GetLength())
            m_str.resize(static_cast<size_t>(nMinLength));
        return &m_str[0];
    }
    PXSTR GetBufferSetLength(int nLength) {
        m_str.resize(Clamp(nLength));
        return &m_str[0];
    }
    void ReleaseBuffer(int nNewLength = -1) {
        if (nNewLength < 0)
            nNewLength = static_cast<int>(std::strlen(m_str.c_str()));
        m_str.resize(static_cast<size_t>(nNewLength));
    }
    void Truncate(int nNewLength) {
        if (nNewLength >= 0 && nNewLength < GetLength())
            m_str.resize(static_cast<size_t>(nNewLength));
    }

    void __cdecl Format(PCXSTR pszFormat, ...) {
        va_list args;
        va_start(args, pszFormat);
        FormatV(pszFormat, args);
        va_end(args);
    }
    void __cdecl AppendFormat(PCXSTR pszFormat, ...) {
        va_list args;
        va_start(args, pszFormat);
        CStringT tail;
        tail.FormatV(pszFormat, args);
        va_end(args);
        m_str += tail.m_str;
    }
    void FormatV(PCXSTR pszFormat, va_list args) {
        if (!pszFormat)
            AfxThrowInvalidArgException();
        va_list copy;
        va_copy(copy, args);
        const int n = std::vsnprintf(nullptr, 0, pszFormat, copy);
        va_end(copy);
        if (n < 0)
            AfxThrowInvalidArgException();
        StringType out(static_cast<size_t>(n), '\0');
        std::vsnprintf(&out[0], out.size() + 1, pszFormat, args);
        m_str.swap(out);
    }

    int Find(char ch, int iStart = 0) const { return Pos(m_str.find(ch, Start(iStart))); }
    int Find(PCXSTR psz, int iStart = 0) const {
        if (!psz || iStart > GetLength())
            return -1;
        return Pos(m_str.find(psz, Start(iStart)));
    }
    int ReverseFind(char ch) const { return Pos(m_str.rfind(ch)); }
    int FindOneOf(PCXSTR pszCharSet) const {
        return Pos(m_str.find_first_of(pszCharSet ? pszCharSet : ""));
    }

    int Replace(char chOld, char chNew) {
        int n = 0;
        for (char& c : m_str) {
            if (c == chOld) {
                c = chNew;
                ++n;
            }
        }
        return n;
    }
    int Replace(PCXSTR pszOld, PCXSTR pszNew) {
        if (!pszOld || !*pszOld)
            return 0;
        const StringType from(pszOld), to(pszNew ? pszNew : "");
        int n = 0;
        for (size_t pos = m_str.find(from); pos != StringType::npos; pos = m_str.find(from, pos)) {
            m_str.replace(pos, from.size(), to);
            pos += to.size();
            ++n;
        }
        return n;
    }
    int Remove(char ch) {
        const size_t before = m_str.size();
        m_str.erase(std::remove(m_str.begin(), m_str.end(), ch), m_str.end());
        return static_cast<int>(before - m_str.size());
    }
    int Insert(int iIndex, PCXSTR psz) {
        m_str.insert(std::min(Start(iIndex), m_str.size()), psz ? psz : "");
        return GetLength();
    }
    int Delete(int iIndex, int nCount = 1) {
        if (iIndex >= 0 && iIndex < GetLength() && nCount > 0)
            m_str.erase(static_cast<size_t>(iIndex), static_cast<size_t>(nCount));
        return GetLength();
    }

    CStringT Left(int nCount) const { return CStringT(m_str.substr(0, Clamp(nCount))); }
    CStringT Right(int nCount) const {
        const size_t n = std::min(Clamp(nCount), m_str.size());
        return CStringT(m_str.substr(m_str.size() - n));
    }
    CStringT Mid(int iFirst) const { return Mid(iFirst, GetLength()); }
    CStringT Mid(int iFirst, int nCount) const {
        const size_t first = std::min(Start(iFirst), m_str.size());
        return CStringT(m_str.substr(first, Clamp(nCount)));
    }
    CStringT SpanIncluding(PCXSTR pszCharSet) const {
        return Left(Pos(m_str.find_first_not_of(pszCharSet ? pszCharSet : ""), GetLength()));
    }

    // Returns the next token after the separators at iStart; when none is
    // left it returns an empty string and sets iStart to -1.
    CStringT Tokenize(PCXSTR pszTokens, int& iStart) const {
        if (iStart < 0)
            AfxThrowInvalidArgException();
        if (!pszTokens || !*pszTokens) {
            if (iStart < GetLength())
                return Mid(iStart);
        } else if (iStart < GetLength()) {
            const size_t from = m_str.find_first_not_of(pszTokens, static_cast<size_t>(iStart));
            if (from != StringType::npos) {
                size_t until = m_str.find_first_of(pszTokens, from);
                if (until == StringType::npos)
                    until = m_str.size();
                iStart = static_cast<int>(until) + 1;
                return CStringT(m_str.substr(from, until - from));
            }
        }
        iStart = -1;
        return CStringT();
    }

    CStringT& MakeUpper() {
        if (!m_str.empty())
            CharUpperBuffA(&m_str[0], static_cast<DWORD>(m_str.size()));
        return *this;
    }
    CStringT& MakeLower() {
        if (!m_str.empty())
            CharLowerBuffA(&m_str[0], static_cast<DWORD>(m_str.size()));
        return *this;
    }
    CStringT& TrimRight(PCXSTR set = " \t\r\n") {
        m_str.erase(std::min(m_str.size(), m_str.find_last_not_of(set) + 1));
        return *this;
    }
    CStringT& TrimLeft(PCXSTR set = " \t\r\n") {
        m_str.erase(0, std::min(m_str.size(), m_str.find_first_not_of(set)));
        return *this;
    }
    CStringT& Trim(PCXSTR set = " \t\r\n") { return TrimRight(set).TrimLeft(set); }

    int Compare(PCXSTR psz) const { return std::strcmp(m_str.c_str(), psz ? psz : ""); }
    int CompareNoCase(PCXSTR psz) const { return lstrcmpiA(m_str.c_str(), psz ? psz : ""); }

    // Loads string resource nID from the resource module of the module state
    // that is current on this thread. FALSE when the identifier is unknown.
    BOOL LoadString(UINT nID) { return LoadString(AfxGetResourceHandle(), nID); }
    BOOL LoadString(HINSTANCE hInstance, UINT nID) {
        const wchar_t* image = nullptr;
        // With a zero length LoadStringW hands out the read-only resource text.
        // Qualified: in a UNICODE build windows.h renames this member to
        // LoadStringW, which would then find itself.
        const int n = ::LoadStringW(hInstance, nID, reinterpret_cast<LPWSTR>(&image), 0);
        if (n <= 0 || !image)
            return FALSE;
        AssignWide(image, n);
        return TRUE;
    }

    // A new BSTR of this text converted from the thread's ANSI code page.
    BSTR AllocSysString() const {
        const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, m_str.data(), GetLength(), nullptr, 0);
        BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(n));
        if (!b)
            AfxThrowMemoryException();
        if (n)
            MultiByteToWideChar(CP_THREAD_ACP, 0, m_str.data(), GetLength(), b, n);
        return b;
    }

  private:
    explicit CStringT(StringType&& s) : m_str(std::move(s)) {}
    static size_t Clamp(int n) { return n < 0 ? 0 : static_cast<size_t>(n); }
    static size_t Start(int i) { return i < 0 ? 0 : static_cast<size_t>(i); }
    static int Pos(size_t p, int none = -1) {
        return p == StringType::npos ? none : static_cast<int>(p);
    }

    void AssignWide(const wchar_t* psz, int nLength) {
        if (psz && nLength < 0)
            nLength = static_cast<int>(std::wcslen(psz));
        // An empty wide text is an empty string, not a failed conversion.
        if (!psz || nLength == 0) {
            m_str.clear();
            return;
        }
        const int n =
            WideCharToMultiByte(CP_THREAD_ACP, 0, psz, nLength, nullptr, 0, nullptr, nullptr);
        if (n <= 0)
            AfxThrowMemoryException();
        StringType out(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(CP_THREAD_ACP, 0, psz, nLength, &out[0], n, nullptr, nullptr);
        m_str.swap(out);
    }

    StringType m_str;
};

using CStringA = CStringT<char, StrTraitMFC_DLL<char>>;
using CString = CStringA;
