// The CAN side of the daemon: the raw socket and its set-up, the table of
// links that rtnetlink's notifications keep, and the tap that sees the
// frames this host transmits, with which a frame is told from one this
// device sent. main.cpp runs the loop over it; pgnclock.cpp judges the
// frames it hands on; report.cpp names links through it.
#include "can.h"

#include "pgnclock.h"
#include "report.h"
#include "systemd.h"

#include <arpa/inet.h>
#include <err.h>
#include <fcntl.h>
#include <linux/can/raw.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

// linux/if.h's, which clashes with net/if.h: a driver that echoes each frame
// when it has gone out on the bus, rather than looping it back at once.
#ifndef IFF_ECHO
#define IFF_ECHO (1 << 18)
#endif

namespace {

// The links as the notifications left them, and the socket they come on.
struct LinkTable {
    int watch = -1;
    std::vector<can_link> links;
};
LinkTable table;
// What was said once, and whether SIGIO is handled yet.
struct Once {
    bool sigio_handled = false;
    bool copies_lost_said = false;
    bool vxcan_said = false;
    bool local_frame_said = false;
    bool timeout_refused_said = false;
};
Once once;
// Set by SIGIO: a link notification or a copy of a frame sent waits.
volatile sig_atomic_t links_changed;
volatile sig_atomic_t copies_waiting;

void note_news(int)
{
    links_changed = 1;
    copies_waiting = 1;
}

// A copy of a frame that this host transmitted, seen by the tap, waiting
// for the frame's echo; taken_ns: CLOCK_MONOTONIC when it was read, no
// earlier than it went out.
struct SentCopy {
    int64_t taken_ns;
    canid_t id;
    uint8_t len;
    uint8_t data[CAN_MAX_DLEN];
};
struct SentOnLink {
    int index;
    std::deque<SentCopy> copies;
};
// The tap's socket, the copies waiting per link, and until when
// (CLOCK_MONOTONIC) copies may be missing.
struct Tap {
    int fd = -1;
    can_filter filter{};
    // The interface listened on (0: every one), and the CAN links whose
    // frames the filter drops, as last attached.
    int index = 0;
    std::vector<int> skipped;
    int64_t unsure_until_ns = 0;
    std::vector<SentOnLink> sent;
};
Tap tap;

// How long a frame that this host sent may take from its driver to its
// echo, and the echo in the raw socket's queue before it is stale: a
// controller sends within milliseconds unless the bus is saturated. A copy
// older than that has lost its frame (a controller restarted, a link gone,
// a sender that turned its loopback off); a loss leaves links unsure as long.
constexpr int64_t copy_life_ns = 5000000000;
// More copies than a link waits for in that time at any sane rate (200 time
// frames a second for 5 s): past it, a loss.
constexpr size_t copies_kept = 1024;

int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

std::string attribute_text(const rtattr *attribute)
{
    const auto *text = static_cast<const char *>(RTA_DATA(attribute));
    return std::string(text, strnlen(text, RTA_PAYLOAD(attribute)));
}

// A link as an RTM_NEWLINK or RTM_DELLINK describes it; index 0 for any
// other message.
can_link read_link(const nlmsghdr *header)
{
    can_link link;
    if ((header->nlmsg_type != RTM_NEWLINK && header->nlmsg_type != RTM_DELLINK) ||
        header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return link;
    const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(header));
    link.index = info->ifi_index;
    link.flags = info->ifi_flags;
    link.present = header->nlmsg_type == RTM_NEWLINK;
    int left = static_cast<int>(IFLA_PAYLOAD(header));
    for (const rtattr *a = IFLA_RTA(info); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == IFLA_IFNAME)
            link.name = attribute_text(a);
        if (a->rta_type != IFLA_LINKINFO && a->rta_type != IFLA_PROP_LIST)
            continue;
        int nested = static_cast<int>(RTA_PAYLOAD(a));
        for (const auto *n = static_cast<const rtattr *>(RTA_DATA(a)); RTA_OK(n, nested);
             n = RTA_NEXT(n, nested)) {
            if (a->rta_type == IFLA_LINKINFO && n->rta_type == IFLA_INFO_KIND)
                link.kind = attribute_text(n);
            else if (a->rta_type == IFLA_PROP_LIST && n->rta_type == IFLA_ALT_IFNAME)
                link.altnames.push_back(attribute_text(n));
        }
    }
    return link;
}

// A new link on an index replaces what was known there; a link gone keeps
// its entry, marked gone.
void apply_link(std::vector<can_link> &links, const can_link &link)
{
    if (link.index == 0)
        return;
    for (can_link &known : links) {
        if (known.index != link.index)
            continue;
        if (link.present)
            known = link;
        else
            known.present = false;
        return;
    }
    if (link.present)
        links.push_back(link);
}

// NLMSG_OK without its comparison of signed and unsigned.
bool fits(const nlmsghdr *header, int left)
{
    return left >= static_cast<int>(sizeof(nlmsghdr)) && header->nlmsg_len >= sizeof(nlmsghdr) &&
           header->nlmsg_len <= static_cast<unsigned>(left);
}

// Applies the notifications that wait on the watch socket, the first with
// wait; false when the socket overflowed and some were lost.
bool read_notifications(int flags)
{
    alignas(nlmsghdr) static char buffer[16384];
    for (;; flags = MSG_DONTWAIT) {
        const ssize_t length = recv(table.watch, buffer, sizeof buffer, flags);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0)
            return errno != ENOBUFS;
        int left = static_cast<int>(length);
        for (auto *h = reinterpret_cast<const nlmsghdr *>(buffer); fits(h, left);
             h = NLMSG_NEXT(h, left))
            apply_link(table.links, read_link(h));
    }
}

// The whole table afresh, on a socket of its own: at the start, and after
// notifications were lost. Only a dump read to its end, not interrupted by a
// change, replaces the table; a link it no longer lists is gone.
void dump_links()
{
    for (int tries = 0; tries < 8; ++tries) {
        const int dump = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (dump < 0)
            break;
        struct {
            nlmsghdr header;
            ifinfomsg info;
        } request{};
        request.header.nlmsg_len = sizeof request;
        request.header.nlmsg_type = RTM_GETLINK;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.info.ifi_family = AF_UNSPEC;
        std::vector<can_link> links;
        bool done = false, whole = send(dump, &request, sizeof request, 0) == sizeof request;
        alignas(nlmsghdr) static char buffer[16384];
        while (whole && !done) {
            const ssize_t length = recv(dump, buffer, sizeof buffer, 0);
            if (length < 0 && errno == EINTR)
                continue;
            whole = length > 0;
            int left = static_cast<int>(length);
            for (auto *h = reinterpret_cast<const nlmsghdr *>(buffer);
                 whole && fits(h, left); h = NLMSG_NEXT(h, left)) {
                done = h->nlmsg_type == NLMSG_DONE;
                whole = h->nlmsg_type != NLMSG_ERROR && !(h->nlmsg_flags & NLM_F_DUMP_INTR);
                apply_link(links, read_link(h));
            }
        }
        close(dump);
        if (!whole)
            continue;
        for (can_link &known : table.links) {
            const bool listed = std::any_of(links.begin(), links.end(), [&](const can_link &l) {
                return l.index == known.index;
            });
            if (!listed) {
                known.present = false;
                links.push_back(known);
            }
        }
        table.links = std::move(links);
        return;
    }
    warnx("netlink: the links could not be listed");
}

// Announces what fd receives with SIGIO, so that the loop takes notice
// before it judges another frame.
void signal_news(int fd)
{
    if (!once.sigio_handled) {
        // A receive with a timeout is never restarted (signal(7)), so the
        // loop wakes; other calls (a write to a full pipe) are, and lose
        // nothing.
        struct sigaction action {};
        action.sa_handler = note_news;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGIO, &action, nullptr);
        once.sigio_handled = true;
    }
    fcntl(fd, F_SETOWN, getpid());
    fcntl(fd, F_SETFL, O_ASYNC);
}

SentOnLink &sent_on(int index)
{
    for (SentOnLink &sent : tap.sent)
        if (sent.index == index)
            return sent;
    tap.sent.push_back(SentOnLink{index, {}});
    return tap.sent.back();
}

void copies_lost(int64_t now_ns)
{
    tap.unsure_until_ns = now_ns + copy_life_ns;
    if (!once.copies_lost_said)
        warnx("copies of the frames that this device sent were lost: for %d s on each "
              "link, no frame that the kernel did not mark counts",
              static_cast<int>(copy_life_ns / 1000000000));
    once.copies_lost_said = true;
}

// Whether the copies of a link are kept: on a link that echoes each frame
// (one the table does not know is taken for one), and whose frames are not
// taken or refused whoever sent them.
bool copies_kept_for(const can_link *link)
{
    return !link || ((link->flags & IFF_ECHO) && link->kind != "vxcan" &&
                     !(LocalFrames == local_frames_auto && link->kind == "vcan"));
}

// The CAN links whose frames the tap need not see: on each, the kernel
// marks every frame this host sends, or the frames count or are refused
// whoever sent them.
std::vector<int> links_without_copies()
{
    std::vector<int> skipped;
    for (const can_link &link : table.links)
        if (link.present && (link.kind == "can" || link.kind == "vcan" || link.kind == "vxcan") &&
            !copies_kept_for(&link))
            skipped.push_back(link.index);
    return skipped;
}

// Attaches the tap's filter for the interface listened on and the links as
// the table knows them: at once, or when the links without copies changed.
// A link the table does not know yet is seen. The filter follows the table
// only as its notifications are read: a link that now needs copies under an
// index the filter dropped (a controller moved in from another namespace
// keeps its index) may have sent frames unseen meanwhile, and so may every
// link while a filter is refused: that counts as a loss.
void refilter_tap(bool at_once)
{
    if (tap.fd < 0)
        return;
    std::vector<int> skipped = links_without_copies();
    if (!at_once && skipped == tap.skipped)
        return;
    bool unseen = std::any_of(tap.skipped.begin(), tap.skipped.end(), [&](int index) {
        return std::find(skipped.begin(), skipped.end(), index) == skipped.end() &&
               copies_kept_for(link_by_index(index));
    });
    std::vector<sock_filter> program = tap_filter_program(tap.filter, tap.index, skipped);
    const sock_fprog attached{static_cast<unsigned short>(program.size()), program.data()};
    if (setsockopt(tap.fd, SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached) < 0)
        unseen = true;
    else
        tap.skipped = std::move(skipped);
    if (unseen)
        copies_lost(monotonic_ns());
}

// Takes every copy waiting on the tap, each to the link it went out on, and
// asks whether the tap lost any (its queue overflowed). Copies are dated when
// the reading ends, so that none is forgotten early.
void read_tap()
{
    if (tap.fd < 0 || !copies_waiting)
        return;
    copies_waiting = 0;
    // By link, dated below; not as can_frame, whose over-aligned data would
    // change how a vector of them is passed on 32-bit ARM.
    std::vector<std::pair<int, SentCopy>> read;
    bool lost = false;
    for (;;) {
        can_frame frame{};
        sockaddr_ll from{};
        socklen_t from_length = sizeof from;
        const ssize_t length = recvfrom(tap.fd, &frame, sizeof frame, MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr *>(&from), &from_length);
        if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // A pending error (ENETDOWN, say) comes before the copies queued,
        // once: read on.
        if (length < 0) {
            lost = lost || errno != EINTR;
            continue;
        }
        if (length != static_cast<ssize_t>(sizeof frame) ||
            !copies_kept_for(link_by_index(from.sll_ifindex)))
            continue;
        SentCopy copy{0, frame.can_id, frame.can_dlc, {}};
        memcpy(copy.data, frame.data, sizeof copy.data);
        read.emplace_back(from.sll_ifindex, copy);
    }
    const int64_t now = monotonic_ns();
    for (auto &[index, copy] : read) {
        SentOnLink &sent = sent_on(index);
        while (!sent.copies.empty() && now - sent.copies.front().taken_ns > copy_life_ns)
            sent.copies.pop_front();
        copy.taken_ns = now;
        sent.copies.push_back(copy);
        if (sent.copies.size() > copies_kept) {
            sent.copies.pop_front();
            lost = true;
        }
    }
    tpacket_stats stats{};
    socklen_t length = sizeof stats;
    if (lost || getsockopt(tap.fd, SOL_PACKET, PACKET_STATISTICS, &stats, &length) < 0 ||
        stats.tp_drops != 0)
        copies_lost(now);
}

void drop_net_raw()
{
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, CAP_NET_RAW, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    const uint32_t net_raw = 1u << CAP_NET_RAW;
    if (syscall(SYS_capget, &header, data) < 0) {
        warn("capget, keeping CAP_NET_RAW");
    } else if (data[0].permitted & net_raw) {
        data[0].effective &= ~net_raw;
        data[0].permitted &= ~net_raw;
        data[0].inheritable &= ~net_raw;
        if (syscall(SYS_capset, &header, data) < 0)
            warn("capset, keeping CAP_NET_RAW");
    }
    // Nor may an executable's file capabilities give it back.
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

// The socket, set up before the first receive: the kernel passes only the
// frames the filter lets through, stamps each with its arrival, and the
// socket listens on the interface of the index given. A bind that fails
// gives -1 with errno set; a socket that cannot be had ends the daemon.
int open_can_socket(int index, const can_filter &filter)
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

// Waits until a link answers to the name and returns a socket bound to it.
// Never widens to every interface.
int wait_for_interface(const std::string &name, const can_filter &filter, int &bound)
{
    for (;;) {
        const int index = link_index_of(name);
        if (index != 0) {
            const int sock = open_can_socket(index, filter);
            if (sock >= 0) {
                bound = index;
                return sock;
            }
            if (errno != ENODEV)
                fatal(1, "bind()");
        }
        links_wait();
    }
}

}  // namespace

bool links_start()
{
    table.watch = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK;
    if (table.watch < 0 ||
        bind(table.watch, reinterpret_cast<sockaddr *>(&groups), sizeof groups) < 0) {
        warn("netlink, looking for interfaces by name once a second");
        if (table.watch >= 0)
            close(table.watch);
        table.watch = -1;
        return false;
    }
    // Room for a burst of links coming and going; past it the table is
    // listed afresh.
    const int room = 1 << 20;
    setsockopt(table.watch, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    signal_news(table.watch);
    dump_links();
    refilter_tap(false);
    return true;
}

// After a loss, what waits from before it is older than a new dump.
static void dump_links_afresh()
{
    char discarded[16384];
    while (recv(table.watch, discarded, sizeof discarded, MSG_DONTWAIT) >= 0 || errno == EINTR ||
           errno == ENOBUFS) {
    }
    dump_links();
}

void take_notice()
{
    if (links_changed && table.watch >= 0) {
        links_changed = 0;
        if (!read_notifications(MSG_DONTWAIT))
            dump_links_afresh();
        refilter_tap(false);
    }
    read_tap();
}

void links_wait()
{
    if (table.watch < 0) {
        sleep(1);
        return;
    }
    links_changed = 0;
    if (!read_notifications(0))
        dump_links_afresh();
    refilter_tap(false);
    read_tap();
}

const can_link *link_by_index(int index)
{
    for (const can_link &link : table.links)
        if (link.index == index)
            return &link;
    return nullptr;
}

int link_index_of(const std::string &name)
{
    if (table.watch < 0)
        return static_cast<int>(if_nametoindex(name.c_str()));
    take_notice();
    for (const can_link &link : table.links)
        if (link.present && (link.name == name || std::find(link.altnames.begin(),
                                                            link.altnames.end(),
                                                            name) != link.altnames.end()))
            return link.index;
    return 0;
}

std::vector<sock_filter> tap_filter_program(const can_filter &filter, int index,
                                           const std::vector<int> &skipped)
{
    // The tap reads the identifier word as the bytes lie in memory, most
    // significant first: on a little-endian host the masks turn round too.
    const auto as_loaded = [](uint32_t word) {
        uint8_t bytes[4];
        memcpy(bytes, &word, sizeof bytes);
        return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
               bytes[3];
    };
    // An error frame never reaches the raw socket; nor does CAN FD or XL
    // (another protocol and length).
    const uint32_t mask = filter.can_mask | CAN_ERR_FLAG;
    constexpr uint32_t ancillary = static_cast<uint32_t>(SKF_AD_OFF);
    std::vector<sock_filter> program{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ancillary + SKF_AD_PKTTYPE),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 7),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ancillary + SKF_AD_PROTOCOL),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_CAN, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, CAN_MTU, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, as_loaded(mask)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, as_loaded(filter.can_id & mask), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_RET | BPF_K, CAN_MTU),
    };
    // One interface: the others' packets are dropped first, to the same end;
    // so are those of the links whose frames need no copy, which would wake
    // the daemon for nothing. The jumps reach 255 instructions at most: past
    // that many links, the rest are seen and their copies dropped.
    std::vector<sock_filter> first;
    if (index != 0)
        first.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(index), 0, 1));
    for (const int link : skipped)
        if ((index == 0 || link == index) && first.size() < 200)
            first.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(link), 1, 0));
    if (first.empty())
        return program;
    // Each jump's offset, now that the drop's place is known: the one
    // interface's drops on no match (jf), a skipped link's on a match (jt).
    const size_t drop_at = 1 + first.size() + program.size() - 2;
    for (size_t i = 0; i < first.size(); ++i) {
        const auto to_drop = static_cast<uint8_t>(drop_at - (1 + i + 1));
        if (first[i].jt)
            first[i].jt = to_drop;
        else
            first[i].jf = to_drop;
    }
    first.insert(first.begin(), BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ancillary + SKF_AD_IFINDEX));
    program.insert(program.begin(), first.begin(), first.end());
    return program;
}

void tap_open(const can_filter &filter)
{
    // Where every frame counts, no frame needs telling apart.
    if (LocalFrames == local_frames_accept) {
        drop_net_raw();
        return;
    }
    // Protocol 0 until the filter is on: nothing is queued unfiltered.
    tap.fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (tap.fd < 0) {
        warn("no packet socket: a time/date frame that a local process sent is known as "
             "this device's only by the kernel's mark, which a socket closed before the "
             "frame went out loses");
        drop_net_raw();
        return;
    }
    tap.filter = filter;
    std::vector<sock_filter> program = tap_filter_program(filter, 0);
    const sock_fprog attached{static_cast<unsigned short>(program.size()), program.data()};
    // Room for more copies than the raw socket holds echoes.
    const int room = 1 << 20;
    // Bound to every interface, never to one: a socket bound to a device
    // loses its hook while the device is down or gone, and a new bind leaves
    // it without one for a moment.
    sockaddr_ll all{};
    all.sll_family = AF_PACKET;
    all.sll_protocol = htons(ETH_P_ALL);
    if (setsockopt(tap.fd, SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached) < 0 ||
        setsockopt(tap.fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room) < 0 ||
        bind(tap.fd, reinterpret_cast<sockaddr *>(&all), sizeof all) < 0)
        fatal(1, "packet socket");
    signal_news(tap.fd);
    drop_net_raw();
}

void tap_listen_on(int index)
{
    tap.index = index;
    refilter_tap(true);
}

bool tap_saw_sent(int index, const can_link *link, const can_frame &frame)
{
    if (tap.fd < 0 || !copies_kept_for(link))
        return false;
    read_tap();
    SentOnLink &sent = sent_on(index);
    int64_t now = 0;
    if (!sent.copies.empty() || tap.unsure_until_ns != 0)
        now = monotonic_ns();
    while (!sent.copies.empty() && now - sent.copies.front().taken_ns > copy_life_ns)
        sent.copies.pop_front();
    const auto copy = std::find_if(sent.copies.begin(), sent.copies.end(), [&](const SentCopy &c) {
        return c.id == frame.can_id && c.len == frame.can_dlc &&
               memcmp(c.data, frame.data, std::min<size_t>(c.len, CAN_MAX_DLEN)) == 0;
    });
    if (copy != sent.copies.end()) {
        sent.copies.erase(copy);
        return true;
    }
    // While a copy lost may be this frame's.
    return now < tap.unsure_until_ns;
}

bool counts_as_from_bus(int index, const can_frame &frame, bool marked)
{
    if (LocalFrames == local_frames_accept)
        return true;
    static const can_link unknown;
    const can_link *found = link_by_index(index);
    const can_link &link = found ? *found : unknown;
    const char *name = found ? link.name.c_str() : "?";
    const char *policy = LocalFrames == local_frames_auto ? "auto" : "ignore";
    // On a vcan every frame is this device's and there is no bus.
    if (LocalFrames == local_frames_auto && link.kind == "vcan")
        return true;
    // The other end of a vxcan is another namespace's, a container's, and
    // newer kernels pass its frames on unmarked.
    if (link.kind == "vxcan") {
        if (!once.vxcan_said)
            warnx("a time/date frame on %s is ignored: a vxcan's frames come from the "
                  "namespace at its other end (local_frames = %s)", name, policy);
        once.vxcan_said = true;
        return false;
    }
    // The tap's copy is taken whether the kernel marked the echo or not, so
    // that each copy answers one frame.
    const bool sent_here = tap_saw_sent(index, found, frame) || marked;
    if (!sent_here)
        return true;
    if (!once.local_frame_said && LocalFrames == local_frames_ignore)
        warnx("a time/date frame sent from this device on %s is ignored "
              "(local_frames = ignore)", name);
    else if (!once.local_frame_said)
        warnx("a time/date frame sent from this device on %s is ignored: only "
              "vcan takes them (local_frames = auto; link kind '%s')", name, link.kind.c_str());
    once.local_frame_said = true;
    return false;
}

int open_interface(const std::string &name, const can_filter &filter, int &bound)
{
    const int index = link_index_of(name);
    if (index == 0 && name != "any") {
        warnx("interface %s does not exist: waiting for it", name.c_str());
        report_waiting_for_interface();
        return wait_for_interface(name, filter, bound);
    }
    bound = index;
    const int sock = open_can_socket(index, filter);
    if (sock >= 0)
        return sock;
    // The kernel refuses an interface that is no CAN one as it refuses one
    // that is gone.
    if (index != 0 && errno == ENODEV && link_index_of(name) == index)
        fatalx(1, "interface %s is no CAN interface", name.c_str());
    // Gone between the lookup and the bind: waited for like an absent one.
    if (index != 0 && errno == ENODEV) {
        warnx("interface %s does not exist: waiting for it", name.c_str());
        report_waiting_for_interface();
        return wait_for_interface(name, filter, bound);
    }
    fatal(1, "bind()");
}

int reopen_when_back(int sock, const can_filter &filter, int &bound)
{
    warnx("interface %s went away: waiting for it", TimeInterface.c_str());
    report_waiting_for_interface();
    close(sock);
    // The tap sees every interface until the socket is bound again, so that
    // no frame sent on the new link goes by unseen.
    tap_listen_on(0);
    sock = wait_for_interface(TimeInterface, filter, bound);
    warnx("interface %s is back", TimeInterface.c_str());
    report_listening();
    return sock;
}

void set_receive_timeout(int sock, int64_t ms)
{
    // "For ever" is a day: a receive with a timeout ends on a link
    // notification's signal, where one without would be restarted.
    // Longer ones too: past about 24 days a 32-bit kernel takes one for none.
    constexpr int64_t a_day_ms = 86400000;
    if (ms == 0 || ms > a_day_ms)
        ms = a_day_ms;
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(ms / 1000);
    timeout.tv_usec = static_cast<suseconds_t>(ms % 1000 * 1000);
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0 &&
        !once.timeout_refused_said) {
        once.timeout_refused_said = true;
        warn("setsockopt(SO_RCVTIMEO)");
    }
}

// Frames queued when the clock was stepped are stamped on the clock as it
// was, so their stamps no longer tell how long they waited: one that seems
// fresh would step the clock by the same amount again. The kernel says once,
// and here, that the interface went away meanwhile.
bool drop_queued_frames(int sock, bool (*heard)(const can_frame &, int, bool),
                        void (*went_down)())
{
    can_frame frame;
    sockaddr_can sender{};
    iovec buffer{&frame, sizeof frame};
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    for (;;) {
        errno = 0;
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        if (recvmsg(sock, &message, MSG_DONTWAIT) > 0) {
            heard(frame, sender.can_ifindex, message.msg_flags & MSG_DONTROUTE);
            continue;
        }
        if (errno == EINTR)
            continue;
        // Said once, as to the loop's receive: not lost here.
        if (errno == ENETDOWN) {
            went_down();
            continue;
        }
        return errno != ENODEV;
    }
}

bool arrival_time(msghdr &message, timespec &arrival)
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
