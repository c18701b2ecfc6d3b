// Sockets owned by one object each: closed when their owner goes.
#ifndef TOLVERIN_NETBIOS_IO_SOCKET_H
#define TOLVERIN_NETBIOS_IO_SOCKET_H

#include <cstdint>

#include "codec/name_service_packets.h"

namespace netbios {

class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { Close(); }

    int Fd() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Close();

  private:
    int fd_ = -1;
};

// A non-blocking IPv4 socket of `type` (SOCK_DGRAM, SOCK_STREAM) bound to `local` and an
// ephemeral port; an invalid one on failure, with errno set.
Socket OpenBoundSocket(int type, Ipv4Address local);

} // namespace netbios

#endif
