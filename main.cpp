// The daemon's entry: read the settings, open one raw CAN socket on the
// chosen interface (every one by default), and hand each received frame to
// the time/date handler for ever.
#include "can.h"
#include "config/config.h"
#include "pgnclock.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

static const char usage[] = "usage: pgnclock [CONFIGURATION_FILE]\n";

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
    int sock = open_interface(TimeInterface, filter);
    // The link bound to, which must go on answering to the name.
    const bool named = TimeInterface != "any" || link_index_of("any") != 0;
    int bound_index = named ? link_index_of(TimeInterface) : 0;
    tap_listen_on(bound_index);
    report_listening();

    can_frame frame;
    sockaddr_can sender{};
    iovec buffer{&frame, sizeof frame};
    // Room for the stamp twice: on a 32-bit target with 64-bit time, glibc
    // adds a 64-bit copy of a stamp that an older kernel gives in 32 bits,
    // and a full buffer would lose it.
    alignas(cmsghdr) char control[2 * CMSG_SPACE(sizeof(timespec))];
    // Where the clock stood against the boot-time clock after the last
    // frame, and the first moment stamped on the clock as this daemon last
    // stepped it: a frame stamped in the second before it (one the kernel had
    // stamped but not yet queued when the rest were dropped) waited on a
    // clock since stepped. One stamped earlier is more than a second old.
    int64_t offset = clock_offset_ns();
    timespec stamped_from{};
    // What the socket's receive timeout is set to, in ms (0: for ever); -1
    // for a new socket, whose timeout is not set yet.
    int64_t receive_timeout = -1;
    const auto reopen = [&] {
        sock = reopen_when_back(sock, filter);
        bound_index = link_index_of(TimeInterface);
        tap_listen_on(bound_index);
        receive_timeout = -1;
    };
    // A link renamed away is no longer the one named: its frames stop
    // counting, and the one now called so is waited for. Noticed when the
    // kernel says so, not at its next frame.
    const auto renamed_away = [&] {
        take_notice();
        return named && link_index_of(TimeInterface) != bound_index;
    };
    for (;;) {
        if (renamed_away()) {
            reopen();
            continue;
        }
        int64_t timeout = receive_timeout_ms();
        if (timeout < 0) {
            report_receive_timeout();
            timeout = receive_timeout_ms();
        }
        if (timeout != receive_timeout) {
            set_receive_timeout(sock, timeout);
            receive_timeout = timeout;
        }
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &buffer;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t received = recvmsg(sock, &message, 0);
        // The kernel unbinds a socket whose interface goes away and says so
        // once.
        if (received < 0 && errno == ENODEV) {
            reopen();
            continue;
        }
        // Other failed or empty receives (a link notification's signal, a
        // downed interface) are retried; one that timed out (EAGAIN) has the
        // silence said at the top of the loop.
        if (received <= 0 || renamed_away())
            continue;
        // Another process's step since the last frame (guestclock, date -s)
        // is taken as the clock's new standing: the frames after it count,
        // and the freshness of their stamps still holds for those before.
        // The second before this daemon's last step means nothing on it.
        if (clock_stepped_since(offset)) {
            if (ChronySocket.empty()) {
                offset = clock_offset_ns();
                stamped_from = timespec{};
            } else {
                // chrony takes a sample at its stamp as true: one stamped on
                // the clock as it was before the step (chrony's own, say) is
                // wrong by the step, however small. This frame and those
                // queued are dropped, as after a step of this daemon's.
                offset = clock_offset_ns(&stamped_from);
                if (!drop_queued_frames(sock)) {
                    reopen();
                    continue;
                }
            }
        }
        if (!from_time_source(frame.can_id))
            continue;
        const j1939_addr_t id(frame.can_id);
        report_frame_heard(id.source_address, sender.can_ifindex);
        if (id.pgn == TimePGN &&
            !counts_as_from_bus(sender.can_ifindex, frame, message.msg_flags & MSG_DONTROUTE)) {
            report_refused(refused_local_frame);
            continue;
        }
        timespec arrival{};
        const bool stamped = arrival_time(message, arrival);
        const int64_t stamped_before_ns =
            (int64_t{stamped_from.tv_sec} - arrival.tv_sec) * 1000000000 +
            (stamped_from.tv_nsec - arrival.tv_nsec);
        if (stamped && stamped_before_ns > 0 && stamped_before_ns <= 1000000000) {
            report_refused(refused_stale);
            continue;
        }
        check_time_update(id.pgn, frame.data, frame.can_dlc,
                          stamped ? &arrival : nullptr, id.source_address);

        // Stepped by this frame, or meanwhile by another process (the mark's
        // microsecond steps cancel out): whatever is queued waited on the
        // clock as it was.
        if (clock_stepped_since(offset)) {
            offset = clock_offset_ns(&stamped_from);
            if (!drop_queued_frames(sock))
                reopen();
        }
    }
}
