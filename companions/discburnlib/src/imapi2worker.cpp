#include "imapi2worker.h"

#include <chrono>
#include <thread>

#include <vesko/raii.h>

HRESULT Imapi2Worker::Run(const std::function<HRESULT()>& call, const std::function<void()>& tick) {
    if (!m_ownThread) {
        const HRESULT hr = call();
        tick();
        return hr;
    }
    HRESULT hr = E_FAIL;
    std::thread writer([&] {
        // The objects were made in the multithreaded apartment, which this
        // thread joins: the same apartment, so they are used directly.
        vesko::ComApartment apartment(COINIT_MULTITHREADED);
        const HRESULT result = SUCCEEDED(apartment.Result()) ? call() : apartment.Result();
        std::lock_guard<std::mutex> lock(m_mutex);
        hr = result;
        m_done = true;
        m_changed.notify_all();
    });
    for (;;) {
        bool done = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_for(lock, std::chrono::milliseconds(kTickMs),
                               [this] { return m_woken || m_done; });
            m_woken = false;
            done = m_done;
        }
        tick();
        if (done)
            break;
    }
    writer.join();
    return hr;
}

void Imapi2Worker::Wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_woken = true;
    m_changed.notify_all();
}
