#include "observable.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

Observer::~Observer() = default;

// Shared by the object, every channel and every delivery under way: an
// observer that destroys the object from its callback must not pull the
// delivery's state out from under it.
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
    Observable* owner = nullptr;  // null once closed: nothing more is delivered

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

Observable::Observable() : m_pState(std::make_shared<State>()) {
    m_pState->owner = this;
}

Observable::~Observable() {
    Close();
}

void Observable::Close() {
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    m_pState->owner = nullptr;
}

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
    Deliver(m_pState, eventId, data);
}

Observable::Channel Observable::GetChannel() const {
    return Channel(m_pState);
}

void Observable::Channel::PostEvent(unsigned int eventId, void* data) const {
    if (m_pState)
        Deliver(m_pState, eventId, data);
}

bool Observable::Channel::IsOpen() const {
    if (!m_pState)
        return false;
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->owner != nullptr;
}

void Observable::Deliver(const std::shared_ptr<State>& shared, unsigned int eventId, void* data) {
    // Our own reference: the object (and the caller's reference with it) may
    // be destroyed by the observer we call.
    const std::shared_ptr<State> keep = shared;
    State& state = *keep;
    std::vector<Observer*> snapshot;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        snapshot = state.observers;
    }
    const auto self = std::this_thread::get_id();
    for (Observer* observer : snapshot) {
        Observable* source = nullptr;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            source = state.owner;
            // Closed or destroyed meanwhile: no observer may be handed a
            // source that is gone.
            if (!source)
                return;
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
        observer->OnEvent(source, eventId, data);
    }
}
