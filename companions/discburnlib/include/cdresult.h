// Outcome record of a disc burn or erase, posted with event 5 (see
// cdexpmanager.h). Observers borrow it for the duration of their OnEvent;
// the service that posted it destroys it (through the virtual destructor)
// after every observer has returned. Never delete it in an observer.
#pragma once

#include "discburnlibdef.h"

class DISCBURNLIB_API CDResult {
  public:
    // The recorder posts first = the operation (1 burn, 2 erase), second =
    // its CD::EError.
    CDResult(unsigned long first, unsigned long second);
    virtual ~CDResult();
    CDResult(const CDResult&) = delete;
    CDResult& operator=(const CDResult&) = delete;

    unsigned long GetFirst() const;
    unsigned long GetSecond() const;

  private:
    unsigned long m_nFirst;
    unsigned long m_nSecond;
};
