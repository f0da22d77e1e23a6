// Observer base classes. The disc export service is an Observable: its jobs
// post numbered events that every registered Observer receives.
#pragma once

#include <memory>

#include "sysinfolibdef.h"

class Observable;

class SYSINFOLIB_API Observer {
  public:
    virtual ~Observer();
    // One event from source. Runs on the thread that posted it; an observer
    // must accept calls on any thread. The meaning of data depends on
    // eventId; where it is a heap record, the observer that consumes it
    // destroys it (Observable never frees event data).
    virtual void OnEvent(Observable* source, unsigned int eventId, void* data) = 0;

  protected:
    Observer() = default;
};

class SYSINFOLIB_API Observable {
  public:
    Observable();
    virtual ~Observable();
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    // Registers observer once; adding it again changes nothing. Null is
    // ignored. May be called from any thread, also from inside OnEvent.
    void AddObserver(Observer* observer);
    // Unregisters observer. Once this returns, observer receives no further
    // events, and no other thread is still inside observer->OnEvent: the call
    // waits for such deliveries to end. Called from inside an OnEvent (of
    // this or another observer), it does not wait for the delivery its own
    // thread is making. Two observers that unregister each other from their
    // callbacks on two threads at once would wait for each other: don't.
    void RemoveObserver(Observer* observer);
    // Delivers one event synchronously, on the calling thread, to every
    // observer registered when the call starts (and still registered when
    // its turn comes), in registration order. Safe from any thread; no lock
    // is held while an observer runs, so observers may post, add and remove
    // observers from OnEvent.
    void PostEvent(unsigned int eventId, void* data);

  private:
    struct State;
    std::unique_ptr<State> m_pState;
};
