#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace qortest
{

// Ends the test program when its scope is not left in time: a thread that
// hangs cannot fail a test any other way, only be reported. The report goes
// to `report`: standard error, unless the test is capturing that.
class Watchdog
{
public:
    Watchdog(std::string what, std::chrono::seconds limit, std::FILE* report = stderr)
        : guard([this, what = std::move(what), limit, report] {
              std::unique_lock<std::mutex> lock(mutex);
              if (!done.wait_for(lock, limit, [this] { return left; }))
              {
                  std::fprintf(report, "hang: %s did not finish in %lld s\n", what.c_str(),
                               static_cast<long long>(limit.count()));
                  std::fflush(report);
                  std::abort();
              }
          })
    {}

    ~Watchdog()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            left = true;
        }
        done.notify_all();
        guard.join();
    }

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex;
    std::condition_variable done;
    bool left = false;
    std::thread guard; // last, so that it starts once the members above exist
};

} // namespace qortest
