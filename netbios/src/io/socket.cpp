#include "io/socket.h"

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace netbios {

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void Socket::Close()
{
    if (fd_ >= 0) {
        const int saved = errno; // closing never hides the error that led here
        ::close(fd_);
        errno = saved;
        fd_ = -1;
    }
}

Socket OpenBoundSocket(int type, Ipv4Address local)
{
    Socket socket(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.Valid()) {
        return socket;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(local);
    address.sin_port = 0;
    if (::bind(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        socket.Close();
    }
    return socket;
}

} // namespace netbios
