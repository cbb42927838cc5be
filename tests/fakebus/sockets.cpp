// The calls every simulated socket goes through (socket, close, fcntl,
// setsockopt, bind), each handed to the file of the socket it is for: the
// raw CAN socket (can.cpp), rtnetlink's (links.cpp), the packet socket
// (tap.cpp) and the J1939 socket (j1939.cpp); any other socket gets the real call. Also which of them the
// daemon made O_ASYNC, so that they raise SIGIO.
#include "fakebus-internal.h"

#include <algorithm>
#include <cstdarg>
#include <fcntl.h>
#include <unistd.h>

namespace fakebus {

Sigio sigio;

bool is_async(int fd)
{
    return std::find(sigio.async_sockets.begin(), sigio.async_sockets.end(), fd) !=
           sigio.async_sockets.end();
}

}  // namespace fakebus

using namespace fakebus;

extern "C" {

int socket(int domain, int type, int protocol)
{
    if (domain == AF_NETLINK)
        return open_netlink_socket(type, protocol);
    if (domain == AF_PACKET)
        return open_packet_socket(type, protocol);
    if (domain != PF_CAN)
        return real<int (*)(int, int, int)>("socket")(domain, type, protocol);
    if (protocol == CAN_J1939 && (type & ~SOCK_CLOEXEC) == SOCK_DGRAM)
        return open_j1939_socket();
    return open_can_socket(type, protocol);
}

int close(int fd)
{
    if (is_can_socket(fd))
        close_can_socket();
    if (is_packet_socket(fd))
        close_packet_socket();
    if (is_j1939_socket(fd))
        close_j1939_socket();
    sigio.async_sockets.erase(
        std::remove(sigio.async_sockets.begin(), sigio.async_sockets.end(), fd),
        sigio.async_sockets.end());
    forget_netlink_socket(fd);
    return real<int (*)(int)>("close")(fd);
}

// F_SETFL with O_ASYNC on a simulated socket: from then on it raises SIGIO
// (F_SETOWN names the process, which is this one). The rest is the real call.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
#define FCNTL_SYMBOL "__fcntl_time64"
#elif defined(__USE_FILE_OFFSET64) && __WORDSIZE == 32
#define FCNTL_SYMBOL "fcntl64"
#else
#define FCNTL_SYMBOL "fcntl"
#endif
int fcntl(int fd, int command, ...)
{
    va_list arguments;
    va_start(arguments, command);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    const bool simulated = is_netlink(fd) || is_packet_socket(fd);
    if (simulated && command == F_SETFL && (reinterpret_cast<intptr_t>(argument) & O_ASYNC) &&
        !is_async(fd))
        sigio.async_sockets.push_back(fd);
    if (simulated && (command == F_SETFL || command == F_SETOWN))
        return 0;
    return real<int (*)(int, int, void *)>(FCNTL_SYMBOL)(fd, command, argument);
}

int setsockopt(int fd, int level, int name, const void *value, socklen_t length)
{
    if (is_packet_socket(fd))
        return set_packet_socket_option(level, name, value, length);
    if (is_j1939_socket(fd))
        return set_j1939_socket_option(level, name, value, length);
    if (!is_can_socket(fd))
        return real<int (*)(int, int, int, const void *, socklen_t)>(
            TIME64_SYMBOL("setsockopt"))(fd, level, name, value, length);
    return set_can_socket_option(level, name, value, length);
}

int bind(int fd, const sockaddr *address, socklen_t length)
{
    if (is_netlink(fd))
        return bind_netlink_socket(fd, address, length);
    if (is_packet_socket(fd))
        return bind_packet_socket(address, length);
    if (is_j1939_socket(fd))
        return bind_j1939_socket(address, length);
    if (!is_can_socket(fd))
        return real<int (*)(int, const sockaddr *, socklen_t)>("bind")(
            fd, address, length);
    return bind_can_socket(address, length);
}

}  // extern "C"
