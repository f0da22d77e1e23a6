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
    // eventId. Where it is a heap record, the observer only borrows it: the
    // poster keeps it alive until every observer has returned from this call
    // and destroys it afterwards. An observer that needs the data later
    // copies it; it never deletes it.
    //
    // An observer may destroy source from inside this call (release or
    // replace the service). The delivery then ends after this observer
    // returns: observers after it do not get this event, and nothing more
    // is delivered from source.
    virtual void OnEvent(Observable* source, unsigned int eventId, void* data) = 0;

  protected:
    Observer() = default;
};

class SYSINFOLIB_API Observable {
  private:
    struct State;

  public:
    // A way to post to an Observable from code that may outlive it (a worker
    // thread that ends on its own time). Once the Observable is destroyed or
    // closed, posts through the channel are dropped. Copyable; a
    // default-constructed channel drops everything.
    class SYSINFOLIB_API Channel {
      public:
        Channel() = default;
        void PostEvent(unsigned int eventId, void* data) const;
        // Whether posts still reach observers.
        bool IsOpen() const;

      private:
        friend class Observable;
        explicit Channel(std::shared_ptr<State> state) : m_pState(std::move(state)) {}
        std::shared_ptr<State> m_pState;
    };

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
    // observers from OnEvent, and may destroy this object: the delivery
    // keeps what it needs alive and stops after that observer. data is
    // passed through untouched: a record behind it belongs to the caller,
    // who frees it after this returns.
    void PostEvent(unsigned int eventId, void* data);
    // A channel to this object for posters that may outlive it.
    Channel GetChannel() const;

  protected:
    // Delivers nothing from now on; deliveries under way on other threads
    // finish the observer they are in. A derived class calls it at the start
    // of its destruction's end, so that no observer is handed a half
    // destroyed source. The destructor closes in any case.
    void Close();

  private:
    static void Deliver(const std::shared_ptr<State>& state, unsigned int eventId, void* data);
    std::shared_ptr<State> m_pState;
};
