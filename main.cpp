// The daemon's entry: read the settings (settings.cpp), open the CAN socket
// on the chosen interface (can.cpp), and hand each received frame to the
// time/date handler (pgnclock.cpp) for ever.
#include "can.h"
#include "settings.h"
#include "pgnclock.h"
#include "report.h"
#include "request.h"
#include "systemd.h"
#include "clock.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

static const char usage[] = "usage: pgnclock [CONFIGURATION_FILE]\n";

// The socket and what it listens on: every interface, or the link that the
// name in `interface` resolves to, which must go on answering to it.
struct Listening {
    can_filter filter;
    int sock;
    bool named;
    int bound_index;
    // What the receive timeout is set to, in ms (0: for ever); -1 for a new
    // socket, whose timeout is not set yet.
    int64_t receive_timeout;
};

static void reopen(Listening &l)
{
    request_link_down();
    l.sock = reopen_when_back(l.sock, l.filter, l.bound_index);
    tap_listen_on(l.bound_index);
    l.receive_timeout = -1;
}

// A link renamed away is no longer the one named: its frames stop counting,
// and the one now called so is waited for. Noticed when the kernel says so,
// not at its next frame.
static bool renamed_away(const Listening &l)
{
    take_notice();
    return l.named && link_index_of(TimeInterface) != l.bound_index;
}

// The receive waits as long as the silence allows, said when it is over,
// or, when this device asks for the time, until the asking is due; that
// says the silence when an answer is missed.
static void wait_no_longer_than_the_silence(Listening &l)
{
    int64_t timeout = request_wait_ms(l.sock, l.bound_index, receive_timeout_ms());
    if (timeout < 0) {
        report_receive_timeout();
        timeout = receive_timeout_ms();
    }
    if (timeout != l.receive_timeout) {
        set_receive_timeout(l.sock, timeout);
        l.receive_timeout = timeout;
    }
}

// One frame received on the interface of this index: its sender, who sent
// it, its stamp, then its time.
static void handle_frame(const can_frame &frame, const msghdr &message, int index)
{
    if (request_heard(frame, index, message.msg_flags & MSG_DONTROUTE) ||
        !from_time_source(frame.can_id))
        return;
    const j1939_addr_t id(frame.can_id);
    report_frame_heard(id.source_address, index);
    if (id.pgn == TimePGN &&
        !counts_as_from_bus(index, frame, message.msg_flags & MSG_DONTROUTE)) {
        report_refused(refused_local_frame);
        return;
    }
    timespec arrival{};
    msghdr stamps = message;
    const bool stamped = arrival_time(stamps, arrival);
    check_time_update(id.pgn, frame.data, frame.can_dlc, stamped ? &arrival : nullptr,
                      id.source_address);
}

int main(int argc, char *argv[])
{
    use_journal_priorities();
    // No options: a word that looks like one is not taken for a file.
    // Nor is an empty one, as an unset variable in a start script gives.
    if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '\0')) {
        if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
            fputs(usage, stdout);
            return 0;
        }
        fprintf(stderr, "%s%s", ErrorPrefix, usage);
        return 2;
    }
    std::string config_path = "/etc/orvane/pgnclock.conf";
    if (argc > 1)
        config_path = argv[1];

    cConfig config;
    read_settings(config, config_path);
    printf("%sTimePGN = '0x%04X'\n", InfoPrefix, TimePGN);
    printf("%sTimeDrift = '%dms'\n", InfoPrefix, static_cast<int>(TimeDrift));
    read_source_settings(config, config_path);
    if (TimeSource >= 0)
        printf("%sTimeSource = '0x%02X'\n", InfoPrefix, TimeSource);

    // Every line after the settings is flushed at its end, and pushes them
    // out with it. stdio rather than iostream: the same bytes, and libstdc++
    // keeps about 400 kB fewer pages resident.
    printf("%sLets tick...\n", InfoPrefix);
    fflush(stdout);
    printf("%sOpening CAN interface %s\n", InfoPrefix, TimeInterface.c_str());
    fflush(stdout);
    if (!ChronySocket.empty()) {
        printf("%sSending samples to chrony at %s\n", InfoPrefix, ChronySocket.c_str());
        fflush(stdout);
    }

    const can_filter filter = time_frame_filter();
    // The tap first, while the capability it alone needs is held; a frame
    // can only be judged against copies taken before it came.
    tap_open(filter);
    links_start();
    Listening l{filter, -1, false, 0, -1};
    l.sock = open_interface(TimeInterface, filter, l.bound_index);
    l.named = l.bound_index != 0;
    tap_listen_on(l.bound_index);
    report_listening();

    can_frame frame;
    sockaddr_can sender{};
    iovec buffer{&frame, sizeof frame};
    // Room for the stamp twice: on a 32-bit target with 64-bit time, glibc
    // adds a 64-bit copy of a stamp that an older kernel gives in 32 bits,
    // and a full buffer would lose it.
    alignas(cmsghdr) char control[2 * CMSG_SPACE(sizeof(timespec))];
    clock_watch_start();
    for (;;) {
        if (renamed_away(l)) {
            reopen(l);
            continue;
        }
        wait_no_longer_than_the_silence(l);
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &buffer;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t received = recvmsg(l.sock, &message, 0);
        // The kernel unbinds a socket whose interface goes away and says so
        // once.
        if (received < 0 && errno == ENODEV) {
            reopen(l);
            continue;
        }
        // Said once when the interface goes down: the claim is lost with it.
        if (received < 0 && errno == ENETDOWN)
            request_link_down();
        // Other failed or empty receives (a link notification's signal, a
        // downed interface) are retried; one that timed out (EAGAIN) has the
        // silence said at the top of the loop.
        if (received <= 0 || renamed_away(l))
            continue;
        handle_frame(frame, message, sender.can_ifindex);
        // Stepped by this frame, or by another process (the mark's
        // microsecond steps cancel out): whatever is queued waited on the
        // clock as it was. A step between frames is the clock's new standing
        // unless chrony takes the samples.
        if (clock_take_stepped(ChronySocket.empty()) &&
            !drop_queued_frames(l.sock, request_heard, request_link_down))
            reopen(l);
    }
}
