#include "serverlifetime.h"

namespace vesko::broker {

ServerLifetime::ServerLifetime() : m_shutdown(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void ServerLifetime::AddRef() {
    m_used = true;
    ++m_count;
}

void ServerLifetime::Release() {
    if (--m_count == 0)
        RequestShutdown("the client released the broker");
}

void ServerLifetime::RequestShutdown(const char* reason) {
    const char* expected = nullptr;
    m_reason.compare_exchange_strong(expected, reason);
    SetEvent(m_shutdown.Get());
}

}  // namespace vesko::broker
