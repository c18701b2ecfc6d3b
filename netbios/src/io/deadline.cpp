#include "io/deadline.h"

#include <cerrno>

#include <poll.h>

namespace netbios {

Readiness WaitUntil(int fd, short events, Deadline deadline)
{
    for (;;) {
        const Clock::duration left = deadline.At() - Clock::now();
        if (left <= Clock::duration::zero()) {
            return Readiness::TimedOut;
        }
        // Rounded up, so that the wait never ends before the deadline and spins.
        const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(milliseconds));
        if (ready > 0) {
            return Readiness::Ready; // errors and hang-ups show on the next read or write
        }
        if (ready < 0 && errno != EINTR) {
            return Readiness::Failed;
        }
    }
}

} // namespace netbios
