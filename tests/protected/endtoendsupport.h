// Helpers of the end-to-end tests: the mode a new manager will find, and an
// observer that collects a disc job's events.
#pragma once

#include <windows.h>

#include <cdexpservice.h>
#include <cdprogress.h>
#include <cdresult.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vesko::test {

// What the stand-in ieframe.dll answers for managers built from now on.
inline void ChooseMode(bool bProtected) {
    SetEnvironmentVariableA("VESKO_IEFRAME_ANSWER", bProtected ? "protected" : "direct");
}

// Collects disc events until the job-finished event (6) arrives.
class DiscEvents : public Observer {
  public:
    DiscEvents() : m_hFinished(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~DiscEvents() override { CloseHandle(m_hFinished); }

    void OnEvent(Observable*, unsigned int eventId, void* data) override {
        std::lock_guard<std::mutex> hold(m_lock);
        switch (eventId) {
            case 4: {
                std::unique_ptr<CDProgress> progress(static_cast<CDProgress*>(data));
                ++progressCount;
                lastKind = progress->GetKind();
                lastDone = progress->GetValue1();
                lastTotal = progress->GetValue2();
                break;
            }
            case 5: {
                std::unique_ptr<CDResult> result(static_cast<CDResult*>(data));
                resultFirst = result->GetFirst();
                resultSecond = result->GetSecond();
                break;
            }
            default:
                values.push_back(reinterpret_cast<ULONG_PTR>(data));
                break;
        }
        ids.push_back(eventId);
        if (eventId == 6)
            SetEvent(m_hFinished);
    }
    bool WaitFinished(DWORD ms) { return WaitForSingleObject(m_hFinished, ms) == WAIT_OBJECT_0; }
    void Reset() {
        std::lock_guard<std::mutex> hold(m_lock);
        ids.clear();
        values.clear();
        progressCount = 0;
        ResetEvent(m_hFinished);
    }
    // The distinct event ids in the order they first arrived.
    std::string Sequence() {
        std::lock_guard<std::mutex> hold(m_lock);
        std::string text;
        unsigned int last = 0;
        for (unsigned int id : ids) {
            if (id != last)
                text += std::to_string(id) + " ";
            last = id;
        }
        return text;
    }

    std::mutex m_lock;
    std::vector<unsigned int> ids;
    std::vector<ULONG_PTR> values;
    int progressCount = 0;
    unsigned int lastKind = 0;
    unsigned long lastDone = 0, lastTotal = 0;
    unsigned long resultFirst = 99, resultSecond = 99;

  private:
    HANDLE m_hFinished;
};

}  // namespace vesko::test
