#include "recorderjob.h"

#include "progressreporter.h"

#include <windows.h>

#include <algorithm>

RecorderJob::RecorderJob(CDNotifiable& sink, const std::atomic<int>& request,
                         unsigned long long speed)
    : m_sink(sink), m_request(request), m_speed(speed), m_start(GetTickCount64()) {}

RecorderJob::~RecorderJob() = default;

CD::EError RecorderJob::Interruption() const {
    switch (m_request.load()) {
        case CDExpManager::eCancelRequest:
            return CD::eCancelled;
        case CDExpManager::eStopRequest:
            return CD::eStopped;
        default:
            return CD::eOK;
    }
}

CD::EError RecorderJob::Pace(unsigned long long bytes) {
    m_written += bytes;
    if (m_speed == 0)
        return Interruption();
    const unsigned long long due = m_written * 1000 / (m_speed * 1024);
    // Short slices, so that Cancel and Stop are seen at once.
    for (;;) {
        const CD::EError interruption = Interruption();
        if (interruption != CD::eOK)
            return interruption;
        const unsigned long long elapsed = GetTickCount64() - m_start;
        if (elapsed >= due)
            return CD::eOK;
        Sleep(static_cast<DWORD>(std::min<unsigned long long>(due - elapsed, 20)));
    }
}

void RecorderJob::BeginProgress(CD::EProgressType kind, unsigned long long total) {
    m_pProgress.reset();
    m_pProgress = std::make_unique<ProgressReporter>(m_sink, kind, total);
}

unsigned long long RecorderJob::Step() const {
    return m_pProgress ? m_pProgress->Step() : 256 * 1024;
}

void RecorderJob::Advance(unsigned long long bytes, unsigned long long next) {
    if (m_pProgress)
        m_pProgress->Advance(bytes, next);
}
