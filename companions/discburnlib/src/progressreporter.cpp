#include "progressreporter.h"

#include <algorithm>
#include <memory>

namespace {

// The unit of moving data: Cancel and Stop are seen between two.
constexpr unsigned long long kMaxChunk = 256 * 1024;
constexpr unsigned long long kMinChunk = 4 * 1024;
// Posting a little more often than promised leaves room for a slow chunk.
constexpr ULONGLONG kProgressIntervalMs = 80;

// Progress values are KiB rounded up, so that any data moved shows.
unsigned long ProgressKiB(unsigned long long bytes) {
    return static_cast<unsigned long>(
        std::min<unsigned long long>((bytes + 1023) / 1024, 0xFFFFFFFFull));
}

}  // namespace

ProgressReporter::ProgressReporter(CDNotifiable& sink, CD::EProgressType kind,
                                   unsigned long long total)
    : m_sink(sink),
      m_kind(kind),
      m_total(total),
      m_onePercent(std::max<unsigned long long>(total / 100, 1)) {
    Post();
}

unsigned long long ProgressReporter::Step() const {
    return std::clamp(m_onePercent, kMinChunk, kMaxChunk);
}

void ProgressReporter::Advance(unsigned long long bytes, unsigned long long next) {
    m_done += bytes;
    if (m_done == m_posted)
        return;
    if (m_done >= m_total || m_done - m_posted + next > m_onePercent ||
        GetTickCount64() - m_lastPost >= kProgressIntervalMs)
        Post();
}

void ProgressReporter::Post() {
    // A record of its own for each event, destroyed once every observer has
    // returned from it.
    const auto record =
        std::make_unique<CDProgress>(m_kind, ProgressKiB(m_done), ProgressKiB(m_total));
    m_sink.Notify(4, record.get());
    m_posted = m_done;
    m_lastPost = GetTickCount64();
}
