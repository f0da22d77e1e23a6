// Synchronisation objects of the framework subset.
#pragma once

#include "afx.h"

class AFX_API CSyncObject : public CObject {
  public:
    virtual BOOL Lock(DWORD dwTimeout = INFINITE) = 0;
    virtual BOOL Unlock() = 0;
};

// A Win32 critical section set up with a spin count of 0. A set-up failure
// throws CMemoryException for E_OUTOFMEMORY and COleException otherwise.
class AFX_API CCriticalSection : public CSyncObject {
  public:
    CCriticalSection();
    ~CCriticalSection() override;
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    operator CRITICAL_SECTION*() { return &m_sect; }
    BOOL Lock() {
        EnterCriticalSection(&m_sect);
        return TRUE;
    }
    BOOL Lock(DWORD dwTimeout) override;
    BOOL Unlock() override {
        LeaveCriticalSection(&m_sect);
        return TRUE;
    }

    CRITICAL_SECTION m_sect;
};

// Holds a lock for one scope.
class CSingleLock {
  public:
    explicit CSingleLock(CSyncObject* pObject, BOOL bInitialLock = FALSE) : m_pObject(pObject) {
        if (bInitialLock)
            Lock();
    }
    ~CSingleLock() { Unlock(); }
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;
    BOOL Lock(DWORD dwTimeout = INFINITE) {
        if (!m_bAcquired)
            m_bAcquired = m_pObject->Lock(dwTimeout);
        return m_bAcquired;
    }
    BOOL Unlock() {
        if (m_bAcquired)
            m_bAcquired = !m_pObject->Unlock();
        return !m_bAcquired;
    }
    BOOL IsLocked() const { return m_bAcquired; }

  private:
    CSyncObject* m_pObject;
    BOOL m_bAcquired = FALSE;
};
