// Progress record of a disc job, posted with event 4 (see cdexpmanager.h).
// Observers borrow it for the duration of their OnEvent; the service that
// posted it destroys it (through the virtual destructor) after every
// observer has returned. Never delete it in an observer.
#pragma once

#include "discdatalibdef.h"

namespace CD {
enum EProgressType : unsigned int {
    eProgressNone = 0,
    eProgressBurn = 1,    // copying onto the disc
    eProgressVerify = 2,  // comparing the disc with the source after copying
    eProgressErase = 3,   // emptying the disc
};
}  // namespace CD

class DISCDATALIB_API CDProgress {
  public:
    // value1 and value2 are the poster's; the recorder of DiscBurnLib posts
    // value1 = KiB done, value2 = KiB in the whole job.
    CDProgress(CD::EProgressType kind, unsigned long value1, unsigned long value2);
    virtual ~CDProgress();
    CDProgress(const CDProgress&) = delete;
    CDProgress& operator=(const CDProgress&) = delete;

    CD::EProgressType GetKind() const;
    unsigned long GetValue1() const;
    unsigned long GetValue2() const;

  private:
    CD::EProgressType m_nKind;
    unsigned long m_nValue1;
    unsigned long m_nValue2;
};
