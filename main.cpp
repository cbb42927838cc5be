// The daemon's entry: read the settings, open one raw CAN socket on every
// interface, and hand each received frame to the time/date handler for ever.
#include "config/config.h"
#include "pgnclock.h"

#include <err.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The time source, if one is chosen: a J1939 source address in hexadecimal,
// 0x prefix optional. Unlike the other settings, a value that names no sender
// stops the daemon, and so does a choice that would not count (in a file
// discarded as malformed, in a section, in another case, or given twice;
// other misspellings are named as unknown keys): a
// choice silently dropped would let every sender set the clock while the
// user believes one does.
static int read_time_source(const cConfig &config, const std::string &path)
{
    if (config.misplaced("source_address") > 0)
        errx(1, "%s: source_address is given where it cannot count (a malformed "
                "file, a [section], another spelling or a second time)", path.c_str());
    const std::string text = config.getString("source_address", "");
    if (text.empty())
        return -1;
    const char *digits = text.c_str();
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    const size_t length = strlen(digits);
    const bool hexadecimal =
        length > 0 && strspn(digits, "0123456789abcdefABCDEF") == length;
    const unsigned long address = hexadecimal ? strtoul(digits, nullptr, 16) : ULONG_MAX;
    // 0xFE is the null address of a node without one, 0xFF the global one.
    if (address > 0xFD)
        errx(1, "source_address = '%s' names no sender: a J1939 source address "
                "is hexadecimal, 0x00 to 0xFD", text.c_str());
    return static_cast<int>(address);
}

// The socket, set up before the first receive: the kernel passes only the
// frames the filter lets through, stamps each with its arrival, and the
// socket listens on the named interface.
static int open_can_socket(const char *interface_name, const can_filter &filter)
{
    const int sock = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (sock < 0)
        err(255, "socket()");

    // Set before the bind, so that no other frame is ever queued. Without it
    // every frame still reaches the handler, which takes the same ones.
    if (setsockopt(sock, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) < 0)
        warn("setsockopt(CAN_RAW_FILTER), reading every frame");

    // Without the stamps every frame counts as fresh, as it did before.
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) < 0)
        warn("setsockopt(SO_TIMESTAMPNS)");

    sockaddr_can local{};
    local.can_family = AF_CAN;
    local.can_ifindex = if_nametoindex(interface_name);
    if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
        err(1, "bind()");
    return sock;
}

// The kernel's arrival time of a received frame, if it gave one.
static bool arrival_time(msghdr &message, timespec &arrival)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
            c->cmsg_len >= CMSG_LEN(sizeof arrival)) {
            memcpy(&arrival, CMSG_DATA(c), sizeof arrival);
            return true;
        }
    }
    return false;
}

// The real-time clock less the monotonic one: it changes only when the clock
// is stepped.
static int64_t wall_offset_ns()
{
    timespec wall{}, monotonic{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    return (int64_t{wall.tv_sec} - monotonic.tv_sec) * 1000000000 +
           (wall.tv_nsec - monotonic.tv_nsec);
}

// Frames queued when the clock was stepped are stamped on the clock as it
// was, so their stamps no longer tell how long they waited: one that seems
// fresh would step the clock by the same amount again. They are dropped, and
// the next frame, stamped on the clock as it is, counts.
static void drop_queued_frames(int sock)
{
    can_frame frame;
    iovec buffer{&frame, sizeof frame};
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    while (recvmsg(sock, &message, MSG_DONTWAIT) > 0)
        message.msg_controllen = 0;
}

int main(int argc, char *argv[])
{
    std::string config_path = "/etc/orvane/pgnclock.conf";
    if (argc > 1)
        config_path = argv[1];

    // A missing or broken file leaves the defaults in force; a broken one is
    // named, or the user who mistyped a line would never learn why.
    cConfig config;
    if (!config.load(config_path) && config.malformedLine() > 0)
        warnx("%s: line %d is malformed: the whole file is ignored and the "
              "defaults apply", config_path.c_str(), config.malformedLine());
    // Nor would a misspelt key's user learn why its setting is not taken.
    for (const std::string &key : config.keys())
        if (key != "time_pgn" && key != "drift" && key != "source_address")
            warnx("%s: unknown key '%s' ignored", config_path.c_str(), key.c_str());

    TimePGN = static_cast<uint16_t>(
        strtoul(config.getString("time_pgn", "0xD500").c_str(), nullptr, 16));
    printf("TimePGN = '0x%04X'\n", TimePGN);

    const int drift = config.getInt("drift", 2000);
    TimeDrift = static_cast<int64_t>(drift);
    printf("TimeDrift = '%dms'\n", drift);

    TimeSource = read_time_source(config, config_path);
    if (TimeSource >= 0)
        printf("TimeSource = '0x%02X'\n", TimeSource);

    // Every line after the settings is flushed at its end, and pushes them
    // out with it. stdio rather than iostream: the same bytes, and libstdc++
    // keeps about 400 kB fewer pages resident.
    puts("Lets tick...");
    fflush(stdout);

    // Normally no interface is called "any": the lookup then gives index 0,
    // which binds the socket to every CAN interface, present and future.
    const char *interface_name = "any";
    printf("Opening CAN interface %s\n", interface_name);
    fflush(stdout);

    const int sock = open_can_socket(interface_name, time_frame_filter());

    can_frame frame;
    sockaddr_can sender{};
    iovec buffer{&frame, sizeof frame};
    // Room for the stamp twice: on a 32-bit target with 64-bit time, glibc
    // adds a 64-bit copy of a stamp that an older kernel gives in 32 bits,
    // and a full buffer would lose it.
    alignas(cmsghdr) char control[2 * CMSG_SPACE(sizeof(timespec))];
    int64_t offset = wall_offset_ns();
    for (;;) {
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &buffer;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t received = recvmsg(sock, &message, 0);
        // Failed or empty receives (a signal, a downed interface) are retried.
        if (received <= 0)
            continue;

        if (!from_time_source(frame.can_id))
            continue;
        timespec arrival;
        const bool stamped = arrival_time(message, arrival);
        const j1939_addr_t id(frame.can_id);
        check_time_update(id.pgn, frame.data, frame.can_dlc,
                          stamped ? &arrival : nullptr, id.source_address);

        // By this daemon or anything else; the mark's microsecond steps
        // cancel out.
        const int64_t offset_now = wall_offset_ns();
        if (offset_now - offset >= 1000000 || offset - offset_now >= 1000000)
            drop_queued_frames(sock);
        offset = offset_now;
    }
}
