// Reads or sets CLOCK_REALTIME with a 64-bit time_t, for the system tests in
// the test guest: the guest's own date tool may have a 32-bit time_t and
// show years past 2038 as 1970.
//
// usage: guestclock get          prints "SECONDS YYYY-MM-DD HH:MM:SS" (UTC)
//        guestclock set SECONDS  sets the clock; only inside the test guest
//        guestclock status       prints the kernel's synchronisation status
//                                bits (STA_*), in hexadecimal
//        guestclock unsync       sets STA_UNSYNC and the maximum error to
//                                16 s, as the kernel does once the error
//                                grows to that, without a step; only inside
//                                the test guest
//        guestclock serve-ntp    answers NTP requests on 127.0.0.1:123 with
//                                the clock, a stratum 1 server, until killed:
//                                the server of a time daemon under test
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/timex.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// A guard against running it anywhere but in the guest by mistake.
static bool in_guest(const char *what)
{
    if (getenv("PGNCLOCK_TEST_GUEST"))
        return true;
    fprintf(stderr, "guestclock: refusing to %s outside the test guest\n", what);
    return false;
}

// The clock as an NTP timestamp: seconds since 1900, then a 32-bit fraction.
static void ntp_time(unsigned char *out)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint32_t seconds = htonl(static_cast<uint32_t>(now.tv_sec + 2208988800LL));
    const uint32_t fraction =
        htonl(static_cast<uint32_t>((static_cast<uint64_t>(now.tv_nsec) << 32) / 1000000000));
    memcpy(out, &seconds, 4);
    memcpy(out + 4, &fraction, 4);
}

static int serve_ntp()
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(123);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        perror("guestclock: serve-ntp");
        return 1;
    }
    for (;;) {
        unsigned char request[48], reply[48] = {};
        sockaddr_in client{};
        socklen_t length = sizeof client;
        if (recvfrom(sock, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&client),
                     &length) != sizeof request)
            continue;
        ntp_time(reply + 32);  // received
        reply[0] = 4 << 3 | 4;  // no leap warning, version 4, server
        reply[1] = 1;           // stratum 1
        reply[2] = request[2];  // the client's poll
        reply[3] = static_cast<unsigned char>(-20);  // a microsecond's precision
        memcpy(reply + 12, "LOCL", 4);
        memcpy(reply + 16, reply + 32, 8);    // reference: now
        memcpy(reply + 24, request + 40, 8);  // origin: the client's transmit
        ntp_time(reply + 40);                 // transmitted
        sendto(sock, reply, sizeof reply, 0, reinterpret_cast<sockaddr *>(&client), length);
    }
}

int main(int argc, char *argv[])
{
    if (argc == 2 && strcmp(argv[1], "status") == 0) {
        timex state{};
        if (adjtimex(&state) < 0) {
            perror("guestclock: adjtimex");
            return 1;
        }
        printf("0x%04x\n", static_cast<unsigned>(state.status));
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "unsync") == 0) {
        if (!in_guest("mark the clock unsynchronised"))
            return 2;
        timex state{};
        // systemd (timedatectl, time-wait-sync) looks at the error alone.
        const bool read = adjtimex(&state) >= 0;
        state.modes = ADJ_STATUS | ADJ_MAXERROR;
        state.status |= STA_UNSYNC;
        state.maxerror = 16000000;
        if (!read || adjtimex(&state) < 0) {
            perror("guestclock: adjtimex");
            return 1;
        }
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "serve-ntp") == 0)
        return in_guest("serve NTP") ? serve_ntp() : 2;
    if (argc == 2 && strcmp(argv[1], "get") == 0) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        tm utc{};
        char text[64] = "?";
        if (gmtime_r(&now.tv_sec, &utc))
            strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
        printf("%" PRId64 " %s\n", static_cast<int64_t>(now.tv_sec), text);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "set") == 0) {
        if (!in_guest("set a clock"))
            return 2;
        char *end = nullptr;
        errno = 0;
        const long long seconds = strtoll(argv[2], &end, 10);
        if (errno != 0 || *end != '\0') {
            fprintf(stderr, "guestclock: not a number of seconds: %s\n", argv[2]);
            return 2;
        }
        const timespec target{static_cast<time_t>(seconds), 0};
        if (clock_settime(CLOCK_REALTIME, &target) != 0) {
            perror("guestclock: clock_settime");
            return 1;
        }
        return 0;
    }
    fprintf(stderr, "usage: guestclock get | set SECONDS | status | unsync | serve-ntp\n");
    return 2;
}
