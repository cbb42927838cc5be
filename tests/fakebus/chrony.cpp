// The socket that stands in for chrony's refclock SOCK ("listen"): a real
// Unix datagram socket, each datagram it gets shown as chrony reads a sample
// of that size. The bus script (script.cpp) opens and closes it; the daemon's
// sends reach it through sendto (notify.cpp).
#include "fakebus-internal.h"

#include <sys/un.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace fakebus {

Chrony chrony;

namespace {

// What a sample's bytes say, read as chrony reads them: the struct timeval
// in 32- or 64-bit words by the datagram's size.
template <typename Word>
void show_sample(const unsigned char *bytes, ssize_t size)
{
    Word seconds, microseconds;
    double offset;
    int32_t rest[4];
    memcpy(&seconds, bytes, sizeof seconds);
    memcpy(&microseconds, bytes + sizeof seconds, sizeof microseconds);
    memcpy(&offset, bytes + 2 * sizeof(Word), sizeof offset);
    memcpy(rest, bytes + 2 * sizeof(Word) + sizeof offset, sizeof rest);
    fprintf(stderr,
            "fakebus: sample of %zd bytes: time %lld.%06lld, offset %+.6f s, pulse %d, "
            "leap %d, magic 0x%08X\n",
            size, static_cast<long long>(seconds), static_cast<long long>(microseconds), offset,
            static_cast<int>(rest[0]), static_cast<int>(rest[1]),
            static_cast<unsigned>(rest[3]));
}

}  // namespace

void listen_at(const std::string &path)
{
    chrony.listener = real<int (*)(int, int, int)>("socket")(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    unlink(address.sun_path);
    if (chrony.listener < 0 ||
        real<int (*)(int, const sockaddr *, socklen_t)>("bind")(
            chrony.listener, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
        die("cannot listen at " + path);
}

void stop_listening()
{
    real<int (*)(int)>("close")(chrony.listener);
    chrony.listener = -1;
}

void show_chrony_datagram()
{
    unsigned char got[64];
    const ssize_t size = chrony.listener >= 0
                             ? real<ssize_t (*)(int, void *, size_t, int)>("recv")(
                                   chrony.listener, got, sizeof got, MSG_DONTWAIT)
                             : -1;
    if (size == 32)
        show_sample<int32_t>(got, size);
    else if (size == 40)
        show_sample<int64_t>(got, size);
    else if (size >= 0)
        fprintf(stderr, "fakebus: a datagram of %zd bytes, no sample\n", size);
}

}  // namespace fakebus
