#pragma once

#include "libqor/ParamObserver.h"
#include "libqor/Parameter.h"

#include <condition_variable>
#include <mutex>

namespace qortest
{

// An observer that holds every notification reaching it until released, so
// that a test can act while notifications are still in progress.
struct NotificationGate : libqor::ParamObserver
{
    void notifyParamChange(libqor::Parameter*) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        ++inside;
        ++calls;
        changed.notify_all();
        changed.wait(lock, [this] { return open; });
        --inside;
    }
    void parameterCheck(libqor::Parameter*) override {}

    // Until count notifications are held at once.
    void waitUntilInside(int count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return inside >= count; });
    }

    // Lets every held notification and every later one through.
    void release()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0;
    int calls = 0;
    bool open = false;
};

} // namespace qortest
