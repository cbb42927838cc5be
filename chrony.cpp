// chrony's reference-clock socket (refclock SOCK): the sample's layout and
// its sending. pgnclock.cpp decides what goes; report.cpp says whether it
// went.
#include "chrony.h"

#include "pgnclock.h"
#include "report.h"

#include <err.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

// chrony's struct sock_sample, with the struct timeval's words as wide as
// chrony's time_t. chrony drops a datagram of another size unread.
template <typename Word>
struct SockSample {
    Word tv_sec;
    Word tv_usec;
    double offset;
    int32_t pulse;
    int32_t leap;
    int32_t pad;
    int32_t magic;
};
static_assert(sizeof(SockSample<int32_t>) == 32, "chrony's sample with a 32-bit time_t");
static_assert(sizeof(SockSample<int64_t>) == 40, "chrony's sample with a 64-bit time_t");

template <typename Word>
static size_t fill_sample(const timespec &stamp, double offset,
                          unsigned char (&out)[chrony_sample_max])
{
    SockSample<Word> sample{};
    sample.tv_sec = static_cast<Word>(stamp.tv_sec);
    sample.tv_usec = static_cast<Word>(stamp.tv_nsec / 1000);
    sample.offset = offset;
    sample.magic = chrony_sock_magic;
    memcpy(out, &sample, sizeof sample);
    return sizeof sample;
}

size_t chrony_sample(int time_bits, const timespec &stamp, double offset,
                     unsigned char (&out)[chrony_sample_max])
{
    return time_bits == 32 ? fill_sample<int32_t>(stamp, offset, out)
                           : fill_sample<int64_t>(stamp, offset, out);
}

// The width of the time_t that the chrony beside this build has; the build
// system says (PGNCLOCK_CHRONY_TIME_BITS), by default that of long.
#ifndef PGNCLOCK_CHRONY_TIME_BITS
#define PGNCLOCK_CHRONY_TIME_BITS (8 * __SIZEOF_LONG__)
#endif

// Sends one sample to chrony's socket, addressed by its path each time, so
// that a chrony restarted meanwhile gets it on its new socket. A sample that
// cannot go (no socket there, no chrony behind it, its queue full) is lost,
// and the next frame tries again: said once when samples stop going through
// and once when they go again.
// The socket samples leave from, and whether they were lost last time.
static struct {
    int sock = -1;
    bool failing = false;
} chrony;

void send_to_chrony(const timespec &stamp, double offset)
{
    int &sock = chrony.sock;
    bool &failing = chrony.failing;
    if (sock < 0)
        sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unsigned char sample[chrony_sample_max];
    const size_t size = chrony_sample(PGNCLOCK_CHRONY_TIME_BITS, stamp, offset, sample);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    // Its length is checked when it is read.
    strncpy(to.sun_path, ChronySocket.c_str(), sizeof to.sun_path - 1);
    const bool sent = sock >= 0 && sendto(sock, sample, size, MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr *>(&to), sizeof to) ==
                                       static_cast<ssize_t>(size);
    const int error = errno;
    if (!sent && !failing)
        warn("chrony's socket %s: samples are lost until chrony takes them",
             ChronySocket.c_str());
    else if (sent && failing)
        warnx("chrony takes the samples at %s again", ChronySocket.c_str());
    failing = !sent;
    report_sample(offset, sent ? 0 : error);
}

