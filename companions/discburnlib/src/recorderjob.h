// RecorderJob: what a running burn or erase offers its recorder: whether the
// host asked it to end, the drive's pace, and progress (event 4).
#pragma once

#include "cdexpmanager.h"
#include "cdnotifiable.h"
#include "cdprogress.h"

#include <atomic>
#include <memory>

class ProgressReporter;

class RecorderJob {
  public:
    // speed: the drive's write speed in KiB/s, 0 for as fast as it goes.
    RecorderJob(CDNotifiable& sink, const std::atomic<int>& request, unsigned long long speed);
    ~RecorderJob();
    RecorderJob(const RecorderJob&) = delete;
    RecorderJob& operator=(const RecorderJob&) = delete;

    // eCancelled / eStopped when the host asked the job to end, else eOK.
    CD::EError Interruption() const;
    // Holds a job that has written bytes more back to the drive's speed;
    // returns the interruption that ended the wait, else eOK.
    CD::EError Pace(unsigned long long bytes);

    // Starts a phase of progress over total bytes (posts 4 at 0); ends the
    // previous phase.
    void BeginProgress(CD::EProgressType kind, unsigned long long total);
    // The largest step that keeps posts within 1% of each other (4 KiB to
    // 256 KiB): the chunk size to move data in.
    unsigned long long Step() const;
    // bytes more are done; next is the most the following step will do.
    // Posts 4 when 1% more is done or 100 ms have passed.
    void Advance(unsigned long long bytes, unsigned long long next);

  private:
    CDNotifiable& m_sink;
    const std::atomic<int>& m_request;
    unsigned long long m_speed;
    unsigned long long m_written = 0;
    unsigned long long m_start;
    std::unique_ptr<ProgressReporter> m_pProgress;
};
