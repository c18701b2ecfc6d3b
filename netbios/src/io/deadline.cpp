#include "io/deadline.h"

#include <cerrno>

#include <ctime>

#include <poll.h>

namespace netbios {

Readiness WaitUntil(int fd, short events, Deadline deadline)
{
    for (;;) {
        const Clock::duration left = deadline.At() - Clock::now();
        if (left <= Clock::duration::zero()) {
            return Readiness::TimedOut;
        }
        // A timeout in nanoseconds: poll()'s milliseconds, rounded up, would overshoot each
        // deadline by up to a millisecond, and a probe waits on six of them.
        const auto seconds = std::chrono::floor<std::chrono::seconds>(left);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>((left - seconds).count())};
        pollfd entry{fd, events, 0};
        const int ready = ::ppoll(&entry, 1, &timeout, nullptr);
        if (ready > 0) {
            return Readiness::Ready; // errors and hang-ups show on the next read or write
        }
        if (ready < 0 && errno != EINTR) {
            return Readiness::Failed;
        }
    }
}

} // namespace netbios
