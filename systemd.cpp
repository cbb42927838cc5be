// What systemd and its journal are told: the notify datagrams (readiness and
// status, whose words report.cpp chooses) and the journal's priority of each
// line on standard output and error.
#include "systemd.h"

#include <err.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *InfoPrefix = "";
const char *NoticePrefix = "";
const char *ErrorPrefix = "";

// The socket the notifications leave from, and the program's name as err(3)
// and warn(3) print it first, with the journal's priority in it: a warning,
// or an error for the line that ends the daemon; empty unless standard error
// is the journal's stream.
static struct {
    int notify_sock = -1;
    char warning_name[64];
    char error_name[64];
} systemd;

// As systemd's sd_notify(3) does it, without linking libsystemd: one
// datagram to the socket that $NOTIFY_SOCKET names, a path or, after '@',
// an abstract name. Nothing without it; a failure costs the status line
// alone.
void notify_systemd(const char *message)
{
    const char *path = getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@'))
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = strlen(path);
    if (length >= sizeof address.sun_path)
        return;
    memcpy(address.sun_path, path, length);
    if (path[0] == '@')
        address.sun_path[0] = '\0';
    if (systemd.notify_sock < 0)
        systemd.notify_sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int sock = systemd.notify_sock;
    if (sock < 0)
        return;
    // Never held up by a receiver that does not read.
    sendto(sock, message, strlen(message), MSG_NOSIGNAL | MSG_DONTWAIT,
           reinterpret_cast<const sockaddr *>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
}

namespace {

// Whether fd is the stream that systemd connected to the journal, as
// $JOURNAL_STREAM ("device:inode") names it.
bool is_journal(int fd)
{
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat status {};
    return stream && sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

}  // namespace

void use_journal_priorities()
{
    if (is_journal(STDERR_FILENO)) {
        snprintf(systemd.warning_name, sizeof systemd.warning_name, "<4>%s",
                 program_invocation_short_name);
        snprintf(systemd.error_name, sizeof systemd.error_name, "<3>%s",
                 program_invocation_short_name);
        program_invocation_short_name = systemd.warning_name;
        ErrorPrefix = "<3>";
    }
    if (is_journal(STDOUT_FILENO)) {
        InfoPrefix = "<6>";
        NoticePrefix = "<5>";
    }
}

void fatal(int status, const char *format, ...)
{
    if (systemd.error_name[0])
        program_invocation_short_name = systemd.error_name;
    va_list arguments;
    va_start(arguments, format);
    verr(status, format, arguments);
}

void fatalx(int status, const char *format, ...)
{
    if (systemd.error_name[0])
        program_invocation_short_name = systemd.error_name;
    va_list arguments;
    va_start(arguments, format);
    verrx(status, format, arguments);
}

