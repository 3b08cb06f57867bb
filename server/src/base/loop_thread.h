// The stop of the server's background loops (report writer, retention keeper, outbox
// shipper, fleet presence): each waits on a condition variable under its own mutex, and
// its stop must set the flag under that mutex, or the loop could check the flag, miss the
// wake-up and sleep its whole period before it sees it.
#pragma once
#include <condition_variable>
#include <mutex>
#include <thread>

namespace dvs {

// Sets stopping under mutex (running first, the first time only, under the lock as well),
// wakes the loop and joins its thread. Again, or on a thread never started, it does nothing.
template <typename First>
void StopLoopThread(std::mutex &mutex, bool &stopping, std::condition_variable &wake, std::thread &thread,
                    First first)
{
    {
        std::lock_guard lock(mutex);
        if (!stopping)
            first();
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

inline void StopLoopThread(std::mutex &mutex, bool &stopping, std::condition_variable &wake, std::thread &thread)
{
    StopLoopThread(mutex, stopping, wake, thread, [] {});
}

}  // namespace dvs
