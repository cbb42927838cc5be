// The daemon's entry: read the settings, open one raw CAN socket on the
// chosen interface (every one by default), and hand each received frame to
// the time/date handler for ever.
#include "config/config.h"
#include "pgnclock.h"

#include <err.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

static const char usage[] = "usage: pgnclock [CONFIGURATION_FILE]\n";

// The index to bind: that of the interface named, or 0 while it is absent.
// "any" is the exception that the bind itself makes: when no interface is
// called so, index 0 binds the socket to every CAN interface, present and
// future.
static int interface_index(const std::string &name)
{
    return static_cast<int>(if_nametoindex(name.c_str()));
}

// The socket, set up before the first receive: the kernel passes only the
// frames the filter lets through, stamps each with its arrival, and the
// socket listens on the interface of the index given. A bind that fails
// gives -1 with errno set; a socket that cannot be had ends the daemon.
static int open_can_socket(int index, const can_filter &filter)
{
    const int sock = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (sock < 0)
        fatal(255, "socket()");

    // Set before the bind, so that no other frame is ever queued. Without it
    // every frame still reaches the handler, which takes the same ones.
    if (setsockopt(sock, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) < 0)
        warn("setsockopt(CAN_RAW_FILTER), reading every frame");

    // Without the stamps every frame counts as fresh.
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) < 0)
        warn("setsockopt(SO_TIMESTAMPNS)");

    sockaddr_can local{};
    local.can_family = AF_CAN;
    local.can_ifindex = index;
    if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        const int error = errno;
        close(sock);
        errno = error;
        return -1;
    }
    return sock;
}

// How long a receive on the socket may wait, in ms (0: for ever): the
// socket's own timer, so that the time frames flowing cost no wakeup more.
// Refused, the silence of the bus goes unsaid; said once.
static void set_receive_timeout(int sock, int64_t ms)
{
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(ms / 1000);
    timeout.tv_usec = static_cast<suseconds_t>(ms % 1000 * 1000);
    static bool refused;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0 && !refused) {
        refused = true;
        warn("setsockopt(SO_RCVTIMEO)");
    }
}

// A netlink socket that hears of every interface added or removed, or -1.
static int watch_links()
{
    const int watch = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (watch < 0)
        return -1;
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK;
    if (bind(watch, reinterpret_cast<sockaddr *>(&groups), sizeof groups) < 0) {
        close(watch);
        return -1;
    }
    return watch;
}

// Waits until the interface named exists and returns a socket bound to it.
// The kernel's link notifications wake the wait; without them (netlink
// refused) the name is looked up once a second. Never widens to every
// interface.
static int wait_for_interface(const std::string &name, const can_filter &filter)
{
    const int watch = watch_links();
    if (watch < 0)
        warn("netlink, looking for interface %s once a second", name.c_str());
    for (;;) {
        // Looked up after the watch begins, so that no arrival is missed.
        const int index = interface_index(name);
        if (index != 0) {
            const int sock = open_can_socket(index, filter);
            if (sock >= 0) {
                if (watch >= 0)
                    close(watch);
                return sock;
            }
            if (errno != ENODEV)
                fatal(1, "bind()");
        }
        static char notification[8192];
        if (watch < 0 || recv(watch, notification, sizeof notification, 0) < 0)
            sleep(1);
    }
}

// The socket on the interface named: every interface for "any" while none
// is called so; otherwise the named one, waited for while it is absent.
static int open_interface(const std::string &name, const can_filter &filter)
{
    const int index = interface_index(name);
    if (index == 0 && name != "any") {
        warnx("interface %s does not exist: waiting for it", name.c_str());
        report_waiting_for_interface();
        return wait_for_interface(name, filter);
    }
    const int sock = open_can_socket(index, filter);
    if (sock >= 0)
        return sock;
    // The kernel refuses an interface that is no CAN one as it refuses one
    // that is gone.
    if (index != 0 && errno == ENODEV && interface_index(name) == index)
        fatalx(1, "interface %s is no CAN interface", name.c_str());
    // Gone between the lookup and the bind: waited for like an absent one.
    if (index != 0 && errno == ENODEV) {
        warnx("interface %s does not exist: waiting for it", name.c_str());
        report_waiting_for_interface();
        return wait_for_interface(name, filter);
    }
    fatal(1, "bind()");
}

// The kind of the link with this index as rtnetlink names it ("vcan",
// "vxcan", "can" for a controller), or "" when it cannot be told.
static std::string link_kind(int index)
{
    const int link = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (link < 0)
        return "";
    struct {
        nlmsghdr header;
        ifinfomsg info;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.info.ifi_family = AF_UNSPEC;
    request.info.ifi_index = index;
    alignas(nlmsghdr) static char reply[32768];
    ssize_t length = -1;
    if (send(link, &request, sizeof request, 0) == sizeof request)
        length = recv(link, reply, sizeof reply, 0);
    close(link);

    const auto *header = reinterpret_cast<const nlmsghdr *>(reply);
    if (length < 0 || !NLMSG_OK(header, static_cast<size_t>(length)) ||
        header->nlmsg_type != RTM_NEWLINK)
        return "";
    const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(header));
    int left = static_cast<int>(IFLA_PAYLOAD(header));
    for (const rtattr *a = IFLA_RTA(info); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type != IFLA_LINKINFO)
            continue;
        int nested = static_cast<int>(RTA_PAYLOAD(a));
        for (const rtattr *n = static_cast<const rtattr *>(RTA_DATA(a)); RTA_OK(n, nested);
             n = RTA_NEXT(n, nested))
            if (n->rta_type == IFLA_INFO_KIND)
                return std::string(static_cast<const char *>(RTA_DATA(n)),
                                   strnlen(static_cast<const char *>(RTA_DATA(n)),
                                           RTA_PAYLOAD(n)));
    }
    return "";
}

// Whether the interface of this index is still the one named.
static bool is_named_interface(int index)
{
    char name[IF_NAMESIZE] = "";
    return if_indextoname(static_cast<unsigned>(index), name) && TimeInterface == name;
}

// Whether a frame that this device sent itself (the kernel's local echo,
// marked MSG_DONTROUTE) counts. On a vcan every frame comes from this
// device and there is no bus; on a controller a local frame is any local
// process's, which needs no privilege to send. A vxcan's frames come from
// the namespace at its other end, a container's: marked, they do not count
// either (newer kernels pass them on unmarked). The first one refused is
// named, so that whoever tried cansend learns why nothing happened.
static bool local_frame_counts(int index)
{
    if (LocalFrames == local_frames_accept)
        return true;
    std::string kind;
    if (LocalFrames == local_frames_auto) {
        kind = link_kind(index);
        if (kind == "vcan")
            return true;
    }
    static bool named;
    if (!named) {
        named = true;
        char name[IF_NAMESIZE] = "?";
        if_indextoname(static_cast<unsigned>(index), name);
        if (LocalFrames == local_frames_ignore)
            warnx("a time/date frame sent from this device on %s is ignored "
                  "(local_frames = ignore)", name);
        else
            warnx("a time/date frame sent from this device on %s is ignored: only "
                  "vcan takes them (local_frames = auto; link kind '%s')",
                  name, kind.c_str());
    }
    return false;
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

// Frames queued when the clock was stepped are stamped on the clock as it
// was, so their stamps no longer tell how long they waited: one that seems
// fresh would step the clock by the same amount again. They are dropped, and
// the next frame, stamped on the clock as it is, counts. False when the
// interface went away meanwhile: the kernel says so once, and here.
static bool drop_queued_frames(int sock)
{
    can_frame frame;
    iovec buffer{&frame, sizeof frame};
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    errno = 0;
    while (recvmsg(sock, &message, MSG_DONTWAIT) > 0)
        message.msg_controllen = 0;
    return errno != ENODEV;
}

// The interface bound to went away (or is no longer called so): it is
// heard again when it is back, under whatever index it then has; never every
// interface instead. Returns the new socket.
static int reopen_when_back(int sock, const can_filter &filter)
{
    warnx("interface %s went away: waiting for it", TimeInterface.c_str());
    report_waiting_for_interface();
    close(sock);
    sock = wait_for_interface(TimeInterface, filter);
    warnx("interface %s is back", TimeInterface.c_str());
    report_listening();
    return sock;
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
    int sock = open_interface(TimeInterface, filter);
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
        receive_timeout = -1;
    };
    for (;;) {
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
        // Other failed or empty receives (a signal, a downed interface) are
        // retried; one that timed out (EAGAIN) has the silence said at the top
        // of the loop.
        if (received <= 0)
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
        // An interface renamed away is no longer the one named: its frames
        // stop counting, and the one now called so is waited for.
        if (TimeInterface != "any" && !is_named_interface(sender.can_ifindex)) {
            reopen();
            continue;
        }

        if (!from_time_source(frame.can_id))
            continue;
        const j1939_addr_t id(frame.can_id);
        report_frame_heard(id.source_address, sender.can_ifindex);
        if ((message.msg_flags & MSG_DONTROUTE) && id.pgn == TimePGN &&
            !local_frame_counts(sender.can_ifindex)) {
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
