// sendto, where the daemon's datagrams go: systemd's notification socket,
// shown on standard error, and any other socket for real, after which what
// the socket standing in for chrony's got is shown (chrony.cpp).
#include "fakebus-internal.h"

#include <sys/un.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace fakebus;

extern "C" {

// systemd's notification socket, where $NOTIFY_SOCKET names it, for the
// daemon run over a bus script: each datagram becomes a trace line, its
// lines joined by " | ". Any other datagram goes out, and a sample that
// reaches the listening socket ("listen") is shown.
ssize_t sendto(int fd, const void *data, size_t length, int flags, const sockaddr *to,
               socklen_t to_length)
{
    if (is_j1939_socket(fd))
        return send_j1939(data, length, flags, to, to_length);
    const char *notify = getenv("NOTIFY_SOCKET");
    const auto *unix_to = reinterpret_cast<const sockaddr_un *>(to);
    const size_t path_length = to_length > offsetof(sockaddr_un, sun_path)
                                   ? to_length - offsetof(sockaddr_un, sun_path)
                                   : 0;
    if (getenv("PGNCLOCK_FAKEBUS") && notify && to && to->sa_family == AF_UNIX &&
        path_length == strlen(notify) && path_length != 0 &&
        memcmp(unix_to->sun_path + 1, notify + 1, path_length - 1) == 0 &&
        unix_to->sun_path[0] == (notify[0] == '@' ? '\0' : notify[0])) {
        std::string message(static_cast<const char *>(data), length);
        for (size_t at; (at = message.find('\n')) != std::string::npos;)
            message.replace(at, 1, " | ");
        fprintf(stderr, "fakebus: notify %s\n", message.c_str());
        return static_cast<ssize_t>(length);
    }
    const ssize_t sent = real<ssize_t (*)(int, const void *, size_t, int, const sockaddr *,
                                          socklen_t)>("sendto")(fd, data, length, flags, to,
                                                                to_length);
    const int error = errno;
    show_chrony_datagram();
    errno = error;
    return sent;
}

}  // extern "C"
