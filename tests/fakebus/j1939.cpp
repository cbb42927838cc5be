// The J1939 socket (PF_CAN, SOCK_DGRAM, CAN_J1939) as the kernel's stack
// keeps it for a sender: its options, its binds and what it sends, with the
// kernel's checks and address claims; each frame sent is shown on standard
// error and looped back to the raw socket, as the kernel loops it back.
// Frames it would queue for a reader are counted, since the daemon never
// reads it.
#include "fakebus-internal.h"

#include <linux/can/j1939.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

namespace fakebus {

J1939Socket j1939;

namespace {

constexpr uint32_t pgn_request = 0xEA00;
constexpr uint32_t pgn_address_claimed = 0xEE00;

int64_t ns(const timespec &t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

uint64_t name_in(const uint8_t *data)
{
    uint64_t name = 0;
    for (int i = 7; i >= 0; --i)
        name = name << 8 | data[i];
    return name;
}

bool passes_filters(uint32_t pgn, uint8_t source)
{
    if (j1939.filters.empty())
        return true;
    return std::any_of(j1939.filters.begin(), j1939.filters.end(), [&](const j1939_filter &f) {
        // The kernel masks each filter once, when it is set; and it knows
        // no NAME of a sender that never claimed.
        return (pgn & f.pgn_mask) == (f.pgn & f.pgn_mask) &&
               (source & f.addr_mask) == (f.addr & f.addr_mask) &&
               (0 & f.name_mask) == (f.name & f.name_mask);
    });
}

const Interface *interface_of(int index)
{
    for (const Interface &i : links.interfaces)
        if (i.present && i.index == index)
            return &i;
    return nullptr;
}

int fail(int error)
{
    errno = error;
    return -1;
}

// A send refused is shown too: what the daemon tried matters as much.
int refuse_send(uint32_t pgn, int error)
{
    if (getenv("PGNCLOCK_FAKEBUS"))
        fprintf(stderr, "fakebus: J1939 send of PGN 0x%04X refused: %s\n", pgn, strerror(error));
    return fail(error);
}

}  // namespace

bool is_j1939_socket(int fd) { return fd == j1939.fd && fd >= 0; }

int open_j1939_socket()
{
    load_script();
    if (j1939.refused)
        return fail(EPROTONOSUPPORT);
    if (j1939.fd >= 0)
        die("a second J1939 socket while the first is open");
    const bool refused = j1939.refused;
    const std::vector<SentFrame> sent = std::move(j1939.sent);
    const unsigned unread = j1939.unread;
    // The controller's state outlives a socket.
    const bool unacknowledged = j1939.unacknowledged;
    std::vector<std::string> waiting = std::move(j1939.waiting);
    j1939 = J1939Socket{};
    j1939.refused = refused;
    j1939.sent = sent;
    j1939.unread = unread;
    j1939.unacknowledged = unacknowledged;
    j1939.waiting = std::move(waiting);
    j1939.fd = open("/dev/null", O_RDONLY);
    return j1939.fd;
}

void close_j1939_socket()
{
    j1939.fd = -1;
    j1939.bound = false;
    j1939.claim_stands = false;
}

int set_j1939_socket_option(int level, int name, const void *value, socklen_t length)
{
    if (level == SOL_SOCKET && name == SO_BROADCAST && length == sizeof(int)) {
        j1939.broadcast = *static_cast<const int *>(value) != 0;
        return 0;
    }
    if (level == SOL_CAN_J1939 && name == SO_J1939_FILTER) {
        if (length % sizeof(j1939_filter) != 0 || length / sizeof(j1939_filter) > J1939_FILTER_MAX)
            return fail(EINVAL);
        const auto *given = static_cast<const j1939_filter *>(value);
        j1939.filters.assign(given, given + length / sizeof(j1939_filter));
        return 0;
    }
    if (level == SOL_CAN_J1939 && name == SO_J1939_SEND_PRIO && length == sizeof(int)) {
        const int priority = *static_cast<const int *>(value);
        if (priority < 0 || priority > 7)
            return fail(EDOM);
        j1939.priority = priority;
        return 0;
    }
    die("setsockopt on the J1939 socket with an option the stand-in does not simulate");
}

int bind_j1939_socket(const sockaddr *address, socklen_t length)
{
    const auto *can = reinterpret_cast<const sockaddr_can *>(address);
    if (length != sizeof(sockaddr_can) || can->can_family != AF_CAN)
        die("bind with a malformed J1939 address");
    const Interface *link = interface_of(can->can_ifindex);
    int error = 0;
    if (!link || (link->kind != "can" && link->kind != "vcan" && link->kind != "vxcan"))
        error = ENODEV;
    else if (j1939.bound && j1939.index != can->can_ifindex)
        error = EINVAL;
    else if (link->down)
        error = ENETDOWN;
    if (error != 0) {
        if (getenv("PGNCLOCK_FAKEBUS"))
            fprintf(stderr, "fakebus: J1939 bind refused: %s\n", strerror(error));
        return fail(error);
    }
    // A bind pgn is a receive filter, which the daemon never asks for.
    if (can->can_addr.j1939.pgn != J1939_NO_PGN)
        die("a J1939 bind with a pgn");
    j1939.bound = true;
    j1939.index = can->can_ifindex;
    j1939.name = can->can_addr.j1939.name;
    j1939.addr = can->can_addr.j1939.addr;
    return 0;
}

ssize_t send_j1939(const void *data, size_t length, int flags, const sockaddr *to,
                   socklen_t to_length)
{
    const auto *can = reinterpret_cast<const sockaddr_can *>(to);
    if (!to || to_length != sizeof(sockaddr_can) || can->can_family != AF_CAN)
        die("a J1939 send without a full address");
    if (length > 8 || (flags & ~MSG_DONTWAIT))
        die("a J1939 send the stand-in does not simulate");
    if (!j1939.bound || (j1939.name == 0 && j1939.addr == J1939_NO_ADDR) ||
        (can->can_ifindex != 0 && can->can_ifindex != j1939.index))
        return refuse_send(can->can_addr.j1939.pgn, EBADFD);
    const uint32_t pgn = can->can_addr.j1939.pgn;
    const bool pdu1 = (pgn & 0xFF00) < 0xF000;
    if (pgn > 0x3FFFF || (pdu1 && (pgn & 0xFF) != 0))
        return refuse_send(pgn, EINVAL);
    const uint8_t destination = can->can_addr.j1939.addr;
    if (can->can_addr.j1939.name != 0)
        die("a J1939 send to a NAME");
    if (destination == J1939_NO_ADDR && !j1939.broadcast)
        return refuse_send(pgn, EACCES);
    const Interface *link = interface_of(j1939.index);
    if (!link)
        return refuse_send(pgn, ENODEV);
    if (link->down)
        return refuse_send(pgn, ENETDOWN);
    const auto *bytes = static_cast<const uint8_t *>(data);
    uint8_t source = j1939.addr;
    const bool request_for_claims =
        pgn == pgn_request && length == 3 && bytes[0] == 0x00 && bytes[1] == 0xEE && bytes[2] == 0;
    if (pgn == pgn_address_claimed) {
        // A claim carries the NAME the socket is bound with, to all.
        if (length != 8 || j1939.name == 0 || name_in(bytes) != j1939.name ||
            source == J1939_NO_ADDR || destination != J1939_NO_ADDR)
            return refuse_send(pgn, EPROTO);
        // The kernel takes the claim when its echo comes back.
    } else if (j1939.name != 0 && request_for_claims) {
        source = J1939_IDLE_ADDR;
    } else if (j1939.name != 0) {
        // The address of a NAME is the one its claim won, 250 ms after it.
        if (!j1939.claim_stands || j1939.claimed_name != j1939.name ||
            ns(clocks.monotonic) < j1939.claim_stands_ns)
            return refuse_send(pgn, EADDRNOTAVAIL);
        source = j1939.claimed_addr;
    }
    can_frame frame{};
    frame.can_id = CAN_EFF_FLAG | uint32_t(j1939.priority) << 26 |
                   (pdu1 ? (pgn | destination) : pgn) << 8 | source;
    frame.can_dlc = static_cast<uint8_t>(length);
    memcpy(frame.data, data, length);
    j1939.sent.push_back(SentFrame{clocks.monotonic, frame, j1939.index});
    char text[64];
    int at = snprintf(text, sizeof text, "%08X#", frame.can_id & CAN_EFF_MASK);
    for (size_t i = 0; i < length; ++i)
        at += snprintf(text + at, sizeof text - at, "%02X", frame.data[i]);
    // When, on the monotonic clock from the start.
    const int64_t since_ms = (ns(clocks.monotonic) - 1000000000000) / 1000000;
    if (getenv("PGNCLOCK_FAKEBUS"))
        fprintf(stderr, "fakebus: sent %s on %s at %lld.%03lld s\n", text, link->name.c_str(),
                static_cast<long long>(since_ms / 1000), static_cast<long long>(since_ms % 1000));
    // Looped back: the next frame the raw socket sees, marked as this
    // device's; or, while nothing acknowledges it, once something does.
    const std::string echo = "queued " + std::string(text) + " " + link->name + " looped";
    if (j1939.unacknowledged)
        j1939.waiting.push_back(echo);
    else
        script.lines.insert(script.lines.begin() + static_cast<ptrdiff_t>(script.next_line), echo);
    return static_cast<ssize_t>(length);
}

void set_acknowledged(bool acknowledged, bool flushed)
{
    j1939.unacknowledged = !acknowledged;
    if (!acknowledged)
        return;
    const Interface *link = interface_of(j1939.index);
    if (!flushed)
        script.lines.insert(script.lines.begin() + static_cast<ptrdiff_t>(script.next_line),
                            j1939.waiting.begin(), j1939.waiting.end());
    else if (link)
        // The restart is told as an error frame (CAN_ERR_RESTARTED).
        script.lines.insert(script.lines.begin() + static_cast<ptrdiff_t>(script.next_line),
                            "frame 00000100#0000000000000000 " + link->name + " error");
    j1939.waiting.clear();
}

void j1939_heard(const can_frame &frame, int index, bool looped)
{
    if (!(frame.can_id & CAN_EFF_FLAG) || (frame.can_id & CAN_RTR_FLAG) || !j1939.bound ||
        j1939.fd < 0 || index != j1939.index)
        return;
    const uint8_t source = frame.can_id & 0xFF;
    uint32_t pgn = (frame.can_id >> 8) & 0x3FFFF;
    const uint8_t destination = (pgn & 0xFF00) < 0xF000 ? pgn & 0xFF : J1939_NO_ADDR;
    if ((pgn & 0xFF00) < 0xF000)
        pgn &= 0x3FF00;
    // The echo of the socket's own claim: one repeated for the address
    // already claimed keeps its 250 ms, run or running, as j1939_ac_process()
    // does since 6.2 (and in 6.1 from its stable updates); any other stands
    // 250 ms after it. One from the null address gives it up.
    if (pgn == pgn_address_claimed && frame.can_dlc == 8 && looped) {
        const uint64_t name = name_in(frame.data);
        const bool won = j1939.claim_stands && j1939.claimed_name == name &&
                         j1939.claimed_addr == source;
        if (source == J1939_IDLE_ADDR) {
            if (j1939.claimed_name == name)
                j1939.claim_stands = false;
        } else if (!won) {
            j1939.claim_stands = true;
            j1939.claimed_name = name;
            j1939.claimed_addr = source;
            j1939.claim_stands_ns = ns(clocks.monotonic) + 250000000;
        }
    }
    // A lower NAME wins the address from the kernel's claim; the claimed
    // NAME claimed again from elsewhere (not the claim's own echo) moves
    // there, or from the null address gives it up.
    if (pgn == pgn_address_claimed && frame.can_dlc == 8 && j1939.claim_stands && !looped) {
        const uint64_t name = name_in(frame.data);
        if (source == j1939.claimed_addr && name < j1939.claimed_name) {
            j1939.claim_stands = false;
        } else if (name == j1939.claimed_name && source == J1939_IDLE_ADDR) {
            j1939.claim_stands = false;
        } else if (name == j1939.claimed_name && source != j1939.claimed_addr) {
            j1939.claimed_addr = source;
            j1939.claim_stands_ns = ns(clocks.monotonic) + 250000000;
        }
    }
    // What a reader would find queued: the socket never hears its own.
    const bool addressed = destination == J1939_NO_ADDR ? j1939.broadcast
                                                        : destination == j1939.addr;
    if (!looped && addressed && passes_filters(pgn, source))
        ++j1939.unread;
}

void set_link_down(Interface &link, bool down)
{
    link.down = down;
    if (down && j1939.index == link.index)
        j1939.claim_stands = false;
    // As raw_notify(): a socket bound to it is told once.
    if (down && can_socket.bound && can_socket.bound_index == link.index)
        can_socket.enetdown_pending = true;
    tell_link_watchers(RTM_NEWLINK, &link);
}

void j1939_reset()
{
    const int fd = j1939.fd;
    j1939 = J1939Socket{};
    j1939.fd = fd;
}

}  // namespace fakebus

using namespace fakebus;

extern "C" {

size_t fakebus_sent_count(void) { return j1939.sent.size(); }

can_frame fakebus_sent_frame(size_t i, timespec *at)
{
    if (at)
        *at = j1939.sent.at(i).at;
    return j1939.sent.at(i).frame;
}

}  // extern "C"
