#include "discwatcher.h"

#include <cdprogress.h>
#include <cdresult.h>

#include <cstdio>

namespace veskohost {

DiscWatcher::DiscWatcher() : m_hEnded(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
DiscWatcher::~DiscWatcher() = default;

void DiscWatcher::OnEvent(Observable*, unsigned int eventId, void* data) {
    std::lock_guard<std::mutex> guard(m_lock);
    switch (eventId) {
        case 1:
            std::printf("      job started\n");
            break;
        case 2:
        case 3:
            m_value = static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(data));
            break;
        case 4: {
            // Borrowed for this call: the service destroys it afterwards.
            const auto* progress = static_cast<const CDProgress*>(data);
            ++m_progressEvents;
            const unsigned long done = progress->GetValue1(), total = progress->GetValue2();
            const int percent = total ? static_cast<int>(done * 100ULL / total) : 100;
            if (percent != m_lastPercent) {
                m_lastPercent = percent;
                char bar[41];
                for (int i = 0; i < 40; ++i)
                    bar[i] = i < percent * 40 / 100 ? '#' : '.';
                bar[40] = '\0';
                const char* kind = progress->GetKind() == CD::eProgressVerify  ? "verify"
                                   : progress->GetKind() == CD::eProgressErase ? "erase "
                                                                               : "burn  ";
                std::printf("\r      %s [%s] %3d%% %lu/%lu KiB", kind, bar, percent, done, total);
                std::fflush(stdout);
            }
            break;
        }
        case 5: {
            const auto* result = static_cast<const CDResult*>(data);
            m_result = static_cast<CD::EError>(result->GetSecond());
            if (m_lastPercent >= 0)
                std::printf("\n");
            m_lastPercent = -1;
            break;
        }
        case 6:
            SetEvent(m_hEnded.Get());
            break;
        case 7:
            std::printf("\n      job cancelled or stopped\n");
            break;
        default:
            break;
    }
}

void DiscWatcher::Reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    ResetEvent(m_hEnded.Get());
    m_result = CD::eOK;
    m_value = 0;
    m_progressEvents = 0;
    m_lastPercent = -1;
}

bool DiscWatcher::WaitForEnd(DWORD timeoutMs) {
    return WaitForSingleObject(m_hEnded.Get(), timeoutMs) == WAIT_OBJECT_0;
}

CD::EError DiscWatcher::LastResult() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_result;
}

unsigned long DiscWatcher::LastValue() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_value;
}

unsigned DiscWatcher::ProgressEvents() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_progressEvents;
}

}  // namespace veskohost
