// ProgressReporter: posts event 4 often enough for a smooth bar, before the
// distance since the last post could exceed 1% of the total, and whenever a
// posting interval has passed.
#pragma once

#include "cdnotifiable.h"
#include "cdprogress.h"

#include <windows.h>

class ProgressReporter {
  public:
    // Posts the first record, at 0.
    ProgressReporter(CDNotifiable& sink, CD::EProgressType kind, unsigned long long total);
    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;

    // The largest step that keeps posts within 1% of each other.
    unsigned long long Step() const;
    // bytes were just done; next is the most the following step will do.
    void Advance(unsigned long long bytes, unsigned long long next);

  private:
    void Post();

    CDNotifiable& m_sink;
    CD::EProgressType m_kind;
    unsigned long long m_total;
    unsigned long long m_onePercent;
    unsigned long long m_done = 0;
    unsigned long long m_posted = 0;
    ULONGLONG m_lastPost = 0;
};
