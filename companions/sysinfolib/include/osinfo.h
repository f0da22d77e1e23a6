// Operating-system version questions.
#pragma once

#include "sysinfolibdef.h"

class SYSINFOLIB_API OSInfo {
  public:
    // True on Windows Vista (6.0) or any later version. Asks the kernel for
    // the real version, so neither the application manifest nor a
    // compatibility shim changes the answer. No side effects: ask as often as
    // needed.
    static bool IsVistaOrNewer();
};
