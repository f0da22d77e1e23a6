// One proxy to the broker per COM apartment, kept between calls.
//
// The broker-backed objects fetch their interface from the Global Interface
// Table for every operation and release it afterwards. The table keeps only
// the marshalled interface and unmarshals it on every fetch (Wine's always
// does): in an apartment that holds no proxy to the broker, each fetch builds
// a proxy and a connection to the broker process and each release tears them
// down again, several cross-process calls per operation. An apartment that
// holds one proxy to the broker object finds it on every fetch and pays one
// cross-process call per operation.
//
// So, against the rule that nothing holds a broker interface between calls,
// each apartment that fetches keeps one proxy of the service set's broker:
// a single-threaded apartment in its thread's storage, the process's
// multithreaded apartment in one process-wide slot. A proxy is only ever
// released by a thread of the apartment that made it: by that apartment's
// next fetch once the registration it belongs to is gone (a generation
// count tells), by the thread that forgets the registration (for its own
// apartment only), or when the thread that made it leaves COM (the last
// CoUninitialize of the thread, which COM reports through IInitializeSpy).
#pragma once

#include <windows.h>
#include <objidl.h>

class ApartmentProxyCache {
  public:
    ApartmentProxyCache() = delete;

    // From now on every apartment that fetches keeps its own proxy of the
    // interface registered under dwCookie (as riid); proxies kept for an
    // earlier registration are stale and go with their apartment's next
    // fetch.
    static void Keep(DWORD dwCookie, REFIID riid);

    // Ends Keep for dwCookie (nothing happens when another registration is
    // kept by now) and releases the calling apartment's proxy at once. Other
    // apartments release theirs on their own threads.
    static void Forget(DWORD dwCookie);

    // Makes sure the calling apartment holds a proxy of the registration kept
    // now and none of an earlier one. Every fetch from the table calls it
    // first; it does nothing on a thread outside COM.
    static void Refresh();

  private:
    class Spy;

    static void RefreshSingleThreaded();
    static void RefreshMultithreaded();
    // Asks COM to tell this thread's leaving COM; false when it will not.
    static bool WatchThisThread();
    // Releases what the thread keeps, in its apartment, as it leaves COM.
    static void ThreadLeavesCom();
};
