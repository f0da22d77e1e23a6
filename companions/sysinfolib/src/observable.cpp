#include "observable.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

Observer::~Observer() = default;

struct Observable::State {
    // One call into an observer that is under way on some thread.
    struct Delivery {
        Observer* observer;
        std::thread::id thread;
    };

    std::mutex mutex;
    std::condition_variable deliveryEnded;
    std::vector<Observer*> observers;
    std::vector<Delivery> deliveries;

    bool IsRegistered(Observer* observer) const {
        return std::find(observers.begin(), observers.end(), observer) != observers.end();
    }
    // A delivery to observer on a thread other than the caller's.
    bool IsDeliveringElsewhere(Observer* observer) const {
        const auto self = std::this_thread::get_id();
        return std::any_of(deliveries.begin(), deliveries.end(), [&](const Delivery& d) {
            return d.observer == observer && d.thread != self;
        });
    }
};

Observable::Observable() : m_pState(std::make_unique<State>()) {}

Observable::~Observable() = default;

void Observable::AddObserver(Observer* observer) {
    if (!observer)
        return;
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    if (!m_pState->IsRegistered(observer))
        m_pState->observers.push_back(observer);
}

void Observable::RemoveObserver(Observer* observer) {
    if (!observer)
        return;
    std::unique_lock<std::mutex> lock(m_pState->mutex);
    auto& list = m_pState->observers;
    list.erase(std::remove(list.begin(), list.end(), observer), list.end());
    // The caller may destroy the observer as soon as we return.
    m_pState->deliveryEnded.wait(lock, [&] { return !m_pState->IsDeliveringElsewhere(observer); });
}

void Observable::PostEvent(unsigned int eventId, void* data) {
    State& state = *m_pState;
    std::vector<Observer*> snapshot;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        snapshot = state.observers;
    }
    const auto self = std::this_thread::get_id();
    for (Observer* observer : snapshot) {
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            // Removed by an earlier observer of this same event, or by
            // another thread meanwhile: it may already be gone.
            if (!state.IsRegistered(observer))
                continue;
            state.deliveries.push_back({observer, self});
        }
        // Ends the delivery record also when OnEvent throws.
        struct EndDelivery {
            State& state;
            Observer* observer;
            std::thread::id thread;
            ~EndDelivery() {
                {
                    std::lock_guard<std::mutex> lock(state.mutex);
                    auto& d = state.deliveries;
                    auto it = std::find_if(d.begin(), d.end(), [&](const State::Delivery& x) {
                        return x.observer == observer && x.thread == thread;
                    });
                    if (it != d.end())
                        d.erase(it);
                }
                state.deliveryEnded.notify_all();
            }
        } end{state, observer, self};
        observer->OnEvent(this, eventId, data);
    }
}
