// Waiting with deadlines on the monotonic clock: every wait of the layer ends at a point in
// time fixed beforehand, whatever arrives meanwhile.
#ifndef TOLVERIN_NETBIOS_IO_DEADLINE_H
#define TOLVERIN_NETBIOS_IO_DEADLINE_H

#include <chrono>

namespace netbios {

using Clock = std::chrono::steady_clock;

class Deadline {
  public:
    static Deadline After(Clock::duration wait) { return Deadline(Clock::now() + wait); }
    explicit Deadline(Clock::time_point at) : at_(at) {}

    Clock::time_point At() const { return at_; }
    bool Passed() const { return Clock::now() >= at_; }
    // Whichever of the two comes first.
    Deadline Or(Deadline other) const { return Deadline(at_ < other.at_ ? at_ : other.at_); }

  private:
    Clock::time_point at_;
};

enum class Readiness { Ready, TimedOut, Failed };

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or the deadline passes.
// Failed (errno set) only when the wait itself fails.
Readiness WaitUntil(int fd, short events, Deadline deadline);

} // namespace netbios

#endif
