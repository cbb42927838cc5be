// The requesting node: listens first, then checks that its address is free,
// claims it, requests the time/date PGN, and backs off while no answer is
// taken; it yields its address to any other NAME and never contests.
// Transmits through a CAN_J1939 socket, opened only once asking starts;
// hears on the raw socket, whose filter it widens to its own frames then.
#include "request.h"

#include "can.h"
#include "pgnclock.h"
#include "report.h"

#include <err.h>
#include <linux/can/error.h>
#include <linux/can/j1939.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

int RequestAddress = -1;
uint64_t RequestName = 0;
int RequestInterval = 60;

namespace {

constexpr uint32_t pgn_request = 0xEA00;
constexpr uint32_t pgn_address_claimed = 0xEE00;
constexpr uint32_t pgn_acknowledgement = 0xE800;
constexpr uint8_t global_address = 0xFF;
constexpr int64_t ms_ns = 1000000;
// How long claims are collected after a Request for Address Claimed, and
// an answer waited for; how long a claim stands before the address is used.
constexpr int64_t check_ns = 1250 * ms_ns;
constexpr int64_t answer_ns = 1250 * ms_ns;
constexpr int64_t claim_ns = 250 * ms_ns;
// How long the echo of a check or claim may take: without it, nothing on
// the bus acknowledges the frame, which still waits to go out. And the
// margin past the kernel's 250 ms.
constexpr int64_t echo_wait_ns = 1000 * ms_ns;
constexpr int64_t margin_ns = 20 * ms_ns;
constexpr int64_t longest_gap_ns = int64_t{3600} * 1000 * ms_ns;
constexpr int replies_a_second = 4;

enum node_state {
    node_unclaimed,  // listening, or the claim was lost with the link
    node_checking,   // asked who holds the address
    node_claiming,   // claimed it, waiting for it to stand
    node_holding,
    node_given_up,  // no J1939 stack, the address held by another, or yielded
};

// The node: its state and socket, what it sent and when (CLOCK_MONOTONIC,
// ns), and what it said.
struct Node {
    node_state state = node_unclaimed;
    int sock = -1;
    int index = 0;
    // The raw socket whose filter passes the node's frames.
    int widened_sock = -1;
    int64_t deadline_ns = 0;  // of checking or claiming
    int64_t check_ns = 0;     // when the check went out
    // The check's or the claim's echo came: the bus took it.
    bool echoed = false;
    bool unechoed_said = false;
    // When the oldest frame sent whose echo has not come was sent (0:
    // none). While one waits in the controller, no check or request is
    // added behind it, up to the longest gap.
    int64_t unechoed_since_ns = 0;
    // The check and the claim sent whose echoes are still to come.
    bool check_outstanding = false;
    bool claim_outstanding = false;
    // The link went down or away: listened to again once it is back,
    // unless a frame is taken after the last one before it went.
    bool relisten = false;
    int64_t taken_before_down_ns = 0;
    bool asked = false;
    int64_t asked_ns = 0;
    bool awaiting_answer = false;
    int64_t gap_ns = 0;
    // A check that could not be sent (the link down) is tried again then.
    int64_t retry_ns = 0;
    int64_t taken_ns = 0;  // the last frame taken, as last seen
    // The last replies sent, claims and NACKs each on their own, so that
    // a flood of requests for other PGNs starves no claim.
    struct Ration {
        int64_t sent_ns[replies_a_second] = {};
        unsigned sent = 0;
    } claim_replies, nack_replies;
    bool unanswered_said = false;
    bool send_failure_said = false;
};
Node node;

int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

int64_t ns_of(const timespec &t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

// How long the bus is listened to before asking: the silence that is said,
// or the interval where it is never said.
int64_t listen_ns()
{
    return int64_t{FrameTimeout > 0 ? FrameTimeout : RequestInterval} * 1000 * ms_ns;
}

uint8_t own_address() { return static_cast<uint8_t>(RequestAddress); }

void little_endian(uint8_t *to, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        to[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t read_little_endian(const uint8_t *from, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | from[i];
    return value;
}

bool link_is_down(int index)
{
    const can_link *link = link_by_index(index);
    return link && link->present && !(link->flags & IFF_UP);
}

void close_node_socket()
{
    if (node.sock >= 0)
        close(node.sock);
    node.sock = -1;
}

void give_up()
{
    node.state = node_given_up;
    node.awaiting_answer = false;
}

// An address on the node's interface. Every field is set: 0 is a valid
// NAME, address and PGN alike.
sockaddr_can j1939_address(uint64_t name, uint8_t addr, uint32_t pgn)
{
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = node.index;
    address.can_addr.j1939.name = name;
    address.can_addr.j1939.addr = addr;
    address.can_addr.j1939.pgn = pgn;
    return address;
}

// Binds the node's socket as addr, under name (0: none, as a node without
// an address asks who holds one).
bool bind_as(uint64_t name, uint8_t addr)
{
    const sockaddr_can local = j1939_address(name, addr, J1939_NO_PGN);
    return bind(node.sock, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
}

// The socket, opened when asking starts: it may send to the global address,
// and takes in nothing, since the raw socket hears for it.
bool open_node_socket()
{
    node.sock = socket(PF_CAN, SOCK_DGRAM | SOCK_CLOEXEC, CAN_J1939);
    if (node.sock < 0) {
        warn("cannot ask for the time: no J1939 socket (the kernel's can-j1939 module)");
        give_up();
        return false;
    }
    const int on = 1;
    const j1939_filter nothing{0, 0, J1939_NO_PGN, ~0u, 0, 0};
    if (setsockopt(node.sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0 ||
        setsockopt(node.sock, SOL_CAN_J1939, SO_J1939_FILTER, &nothing, sizeof nothing) < 0) {
        warn("cannot ask for the time: setsockopt on the J1939 socket");
        close_node_socket();
        give_up();
        return false;
    }
    return true;
}

// Sends one frame of the node's; a failure is said once until a send
// succeeds.
bool send_to(uint32_t pgn, uint8_t destination, const uint8_t *data, size_t length)
{
    const sockaddr_can to = j1939_address(J1939_NO_NAME, destination, pgn);
    if (sendto(node.sock, data, length, MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to),
               sizeof to) == static_cast<ssize_t>(length)) {
        node.send_failure_said = false;
        if (node.unechoed_since_ns == 0)
            node.unechoed_since_ns = monotonic_ns();
        return true;
    }
    // A link that goes down is known by the raw socket's error and the
    // link table, before any send is tried on it.
    const int error = errno;
    if (!node.send_failure_said)
        warn("cannot send J1939 PGN 0x%04X on %s", static_cast<unsigned>(pgn),
             TimeInterface.c_str());
    node.send_failure_said = true;
    errno = error;
    return false;
}

bool send_claim()
{
    uint8_t name[8];
    little_endian(name, RequestName, 8);
    return send_to(pgn_address_claimed, global_address, name, sizeof name);
}

// Replies are rationed, so that a flood of requests gets no flood back.
bool may_reply(Node::Ration &ration, int64_t now_ns)
{
    int64_t &oldest = ration.sent_ns[ration.sent % replies_a_second];
    if (ration.sent >= replies_a_second && now_ns - oldest < 1000 * ms_ns)
        return false;
    oldest = now_ns;
    ++ration.sent;
    return true;
}

// The raw socket hears the node's frames once asking starts: requests to it
// or to all, every claim (its address's, and its NAME's from anywhere), and
// acknowledgements.
void widen_filter(int sock)
{
    if (node.widened_sock == sock)
        return;
    // The data page bits too: PF 0xEA on page 1 is another PGN.
    const canid_t pf_mask = CAN_EFF_FLAG | CAN_RTR_FLAG | (0x3FFu << 16);
    const canid_t ps_mask = pf_mask | (0xFFu << 8);
    const can_filter filters[] = {
        time_frame_filter(),
        {CAN_EFF_FLAG | pgn_request << 8 | uint32_t{own_address()} << 8, ps_mask},
        {CAN_EFF_FLAG | pgn_request << 8 | uint32_t{global_address} << 8, ps_mask},
        // Its own requests, to one node too, so that their echoes come.
        {CAN_EFF_FLAG | pgn_request << 8 | own_address(), pf_mask | 0xFF},
        {CAN_EFF_FLAG | pgn_address_claimed << 8, pf_mask},
        {CAN_EFF_FLAG | pgn_acknowledgement << 8, pf_mask},
    };
    // And the controller's restart from bus-off, which drops what it held.
    const can_err_mask_t restarts = CAN_ERR_BUSOFF | CAN_ERR_RESTARTED;
    if (setsockopt(sock, SOL_CAN_RAW, CAN_RAW_FILTER, filters, sizeof filters) < 0 ||
        setsockopt(sock, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &restarts, sizeof restarts) < 0) {
        warn("cannot ask for the time: setsockopt(CAN_RAW_FILTER)");
        close_node_socket();
        give_up();
        return;
    }
    node.widened_sock = sock;
}

void narrow_filter()
{
    if (node.widened_sock < 0)
        return;
    const can_filter filter = time_frame_filter();
    const can_err_mask_t none = 0;
    setsockopt(node.widened_sock, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter);
    setsockopt(node.widened_sock, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &none, sizeof none);
    node.widened_sock = -1;
}

bool frame_waits(int64_t now_ns);
void unechoed(int64_t now_ns, const char *what);

void start_check(int sock, int64_t now_ns)
{
    if (node.sock < 0 && !open_node_socket())
        return;
    widen_filter(sock);
    if (node.state == node_given_up)
        return;
    if (frame_waits(now_ns)) {
        unechoed(now_ns, "last frame");
        return;
    }
    const uint8_t asked_for[3] = {0x00, 0xEE, 0x00};
    // From the null address: the socket claims nothing yet. Tried again
    // after a gap when refused (a link down that the table did not show).
    if (!bind_as(0, j1939_null_address) ||
        !send_to(pgn_request, global_address, asked_for, sizeof asked_for)) {
        node.retry_ns = now_ns + node.gap_ns;
        if (FrameTimeout > 0)
            report_receive_timeout();
        return;
    }
    node.state = node_checking;
    node.check_ns = now_ns;
    node.echoed = false;
    node.check_outstanding = true;
    node.deadline_ns = now_ns + echo_wait_ns;
}

// When the next request may go: the silence over, and the gap since the
// last one.
int64_t next_request_at()
{
    const int64_t silent_from = node.taken_ns + listen_ns();
    return node.asked ? std::max(node.asked_ns + node.gap_ns, silent_from) : silent_from;
}

int64_t longest_gap()
{
    const int64_t interval_ns = int64_t{RequestInterval} * 1000 * ms_ns;
    return std::max(interval_ns, longest_gap_ns);
}

void double_gap()
{
    node.gap_ns = std::min(node.gap_ns * 2, longest_gap());
}

// A frame sent that has not echoed: nothing on the bus acknowledged it (the
// other nodes are off, say), so it waits in the controller and goes out,
// with whatever follows it, once a node does; a controller that restarts
// from bus-off drops it. Past the longest gap it holds nothing back, since
// a lost echo would hold the node for ever.
bool frame_waits(int64_t now_ns)
{
    if (node.unechoed_since_ns != 0 && now_ns - node.unechoed_since_ns >= longest_gap())
        node.unechoed_since_ns = 0;
    return node.unechoed_since_ns != 0;
}

// The check or the claim did not echo, or a frame still waits before the
// check: nothing is claimed on it, and nothing more is sent until the gap
// is over. A check that goes out late starts the check from there.
void unechoed(int64_t now_ns, const char *what)
{
    node.state = node_unclaimed;
    double_gap();
    node.retry_ns = now_ns + node.gap_ns;
    if (!node.unechoed_said)
        warnx("what this device sends on %s is not acknowledged (no echo of its %s): checking "
              "the address again in %" PRId64 " s", TimeInterface.c_str(), what,
              node.gap_ns / 1000 / ms_ns);
    node.unechoed_said = true;
    if (FrameTimeout > 0)
        report_receive_timeout();
}

// After the check: a frame taken meanwhile says the bus broadcasts the time
// after all, and nothing is claimed; the next check waits as a request
// would. The claim stands 250 ms after the kernel hears its echo; the echo
// on the raw socket moves the deadline there.
void claim(int64_t now_ns)
{
    if (node.taken_ns > node.check_ns) {
        node.state = node_unclaimed;
        node.retry_ns = node.check_ns + node.gap_ns;
        return;
    }
    if (!bind_as(RequestName, own_address()) || !send_claim()) {
        node.state = node_unclaimed;
        node.retry_ns = now_ns + node.gap_ns;
        if (FrameTimeout > 0)
            report_receive_timeout();
        return;
    }
    node.state = node_claiming;
    node.echoed = false;
    node.claim_outstanding = true;
    node.deadline_ns = now_ns + echo_wait_ns;
}

void unanswered(const char *why);

void send_request(int64_t now_ns)
{
    uint8_t asked_for[3] = {};
    little_endian(asked_for, TimePGN, 3);
    const uint8_t destination = TimeSource >= 0 ? static_cast<uint8_t>(TimeSource) : global_address;
    node.asked = true;
    node.asked_ns = now_ns;
    node.awaiting_answer = true;
    if (frame_waits(now_ns)) {
        unanswered("the last frame sent is not acknowledged yet");
        return;
    }
    if (!send_to(pgn_request, destination, asked_for, sizeof asked_for)) {
        // The kernel no longer holds the claim (the link went down unseen,
        // or the claim's frame was dropped): checked and claimed again.
        const bool claim_lost = errno == EADDRNOTAVAIL || errno == ENETDOWN;
        unanswered("it could not be sent");
        if (claim_lost)
            node.state = node_unclaimed;
        return;
    }
    char status[128];
    if (TimeSource >= 0)
        snprintf(status, sizeof status, "Asking 0x%02X for time/date frames (PGN 0x%04X) on %s as 0x%02X",
                 TimeSource, TimePGN, TimeInterface.c_str(), own_address());
    else
        snprintf(status, sizeof status, "Asking for time/date frames (PGN 0x%04X) on %s as 0x%02X",
                 TimePGN, TimeInterface.c_str(), own_address());
    report_node_status(status);
}

// A request went unanswered: said once until a frame is taken, with the
// silence, and the next one waits twice as long.
void unanswered(const char *why)
{
    node.awaiting_answer = false;
    double_gap();
    if (!node.unanswered_said)
        warnx("no answer to the request for time/date frames (PGN 0x%04X) on %s: %s; asking "
              "again in %" PRId64 " s", TimePGN, TimeInterface.c_str(), why,
              node.gap_ns / 1000 / ms_ns);
    node.unanswered_said = true;
    if (FrameTimeout > 0)
        report_receive_timeout();
}

// Another node claims the address with another NAME, or this NAME from
// elsewhere (a device cloned with the same identity, or a forger).
void claimed_by_other(uint64_t name, uint8_t address)
{
    char status[128];
    if (node.state == node_checking || node.state == node_unclaimed) {
        if (name == RequestName)
            warnx("another node claims this device's NAME 0x%016" PRIX64 " (as 0x%02X) on %s: "
                  "not asking for the time", name, address, TimeInterface.c_str());
        else
            warnx("address 0x%02X on %s is held by another node (NAME 0x%016" PRIX64
                  "): not asking for the time", own_address(), TimeInterface.c_str(), name);
        snprintf(status, sizeof status, "Not asking: address 0x%02X on %s is held by another node",
                 own_address(), TimeInterface.c_str());
        report_node_status(status);
        close_node_socket();
        give_up();
        return;
    }
    // Yielded from the null address, as a node that cannot claim one. The
    // socket is kept: closing it waits for that frame to go out.
    if (bind_as(RequestName, j1939_null_address))
        send_claim();
    if (name == RequestName)
        warnx("another node claims this device's NAME 0x%016" PRIX64 " (as 0x%02X) on %s: "
              "cannot claim address 0x%02X, not asking for the time until restarted", name,
              address, TimeInterface.c_str(), own_address());
    else
        warnx("another node (NAME 0x%016" PRIX64 ") claimed address 0x%02X on %s: cannot claim "
              "it, not asking for the time until restarted", name, own_address(),
              TimeInterface.c_str());
    snprintf(status, sizeof status, "Not asking: cannot claim address 0x%02X on %s",
             own_address(), TimeInterface.c_str());
    report_node_status(status);
    give_up();
}

// A Request for Address Claimed from the null address to all: the node's
// check, when it is marked as this device's.
bool is_check(const can_frame &frame, const j1939_addr_t &id)
{
    return id.pgn >> 8 == pgn_request >> 8 && id.source_address == j1939_null_address &&
           (id.pgn & 0xFF) == global_address && frame.can_dlc >= 3 &&
           read_little_endian(frame.data, 3) == pgn_address_claimed;
}

// One of the node's own frames back, marked as this device's: the bus took
// it. The check's window and the claim's 250 ms count from here; a check
// or claim that went out late, after the node gave up waiting for it,
// counts from here too, since the other nodes have it now.
void heard_own(const can_frame &frame, const j1939_addr_t &id, int64_t now_ns)
{
    node.unechoed_since_ns = 0;
    node.unechoed_said = false;
    const uint8_t format = id.pgn >> 8;
    if (is_check(frame, id) && node.check_outstanding) {
        node.check_outstanding = false;
        if (node.state == node_unclaimed || (node.state == node_checking && !node.echoed)) {
            node.state = node_checking;
            node.check_ns = now_ns;
            node.echoed = true;
            node.deadline_ns = now_ns + check_ns;
        }
    } else if (format == pgn_address_claimed >> 8 && id.source_address == own_address()) {
        if (!node.claim_outstanding) {
            // A reply's echo: kernels before 6.2 start the 250 ms again.
            if (node.state == node_claiming)
                node.deadline_ns = now_ns + claim_ns + margin_ns;
            return;
        }
        node.claim_outstanding = false;
        if (node.state == node_holding || node.state == node_given_up)
            return;
        // Late, after a check since: the socket speaks as the claim again.
        if (node.state != node_claiming && !bind_as(RequestName, own_address())) {
            node.state = node_unclaimed;
            return;
        }
        node.state = node_claiming;
        node.echoed = true;
        node.deadline_ns = now_ns + claim_ns + margin_ns;
    }
}

void heard_request(const can_frame &frame, uint8_t destination, int64_t now_ns)
{
    if (frame.can_dlc < 3)
        return;
    const uint32_t asked_for = static_cast<uint32_t>(read_little_endian(frame.data, 3));
    // A claim is answered from the moment it is made.
    if (asked_for == pgn_address_claimed) {
        if ((node.state == node_claiming || node.state == node_holding) &&
            may_reply(node.claim_replies, now_ns))
            send_claim();
        return;
    }
    // Only a request to this node is refused; a global one has others to
    // answer it.
    if (node.state != node_holding || destination != own_address() ||
        !may_reply(node.nack_replies, now_ns))
        return;
    uint8_t nack[8] = {0x01, 0xFF, 0xFF, 0xFF, static_cast<uint8_t>(frame.can_id & 0xFF)};
    little_endian(nack + 5, asked_for, 3);
    send_to(pgn_acknowledgement, global_address, nack, sizeof nack);
}

void heard_acknowledgement(const can_frame &frame, uint8_t sender)
{
    if (frame.can_dlc < 8 || !node.awaiting_answer || frame.data[0] != 0x01)
        return;
    if (frame.data[4] != own_address() && frame.data[4] != global_address)
        return;
    if (read_little_endian(frame.data + 5, 3) != TimePGN)
        return;
    if (TimeSource >= 0 && sender != TimeSource)
        return;
    char why[64];
    snprintf(why, sizeof why, "refused (NACK) by 0x%02X", sender);
    unanswered(why);
}

}  // namespace

uint64_t default_request_name(const char *machine_id)
{
    // FNV-1a: any change in the identity moves the number.
    uint32_t hash = 2166136261u;
    for (const char *c = machine_id; *c && *c != '\n'; ++c)
        hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
    return default_name_fields | (hash & 0x1FFFFF);
}

void request_reset()
{
    close_node_socket();
    node = Node{};
}

void request_link_down()
{
    if (node.state == node_given_up)
        return;
    // The kernel forgets the claim; a new socket starts clean, and the raw
    // socket may be a new one by the same number.
    close_node_socket();
    node.state = node_unclaimed;
    node.awaiting_answer = false;
    node.widened_sock = -1;
    node.unechoed_since_ns = 0;
    node.check_outstanding = node.claim_outstanding = false;
    node.relisten = true;
    node.taken_before_down_ns = ns_of(report_taken_at());
}

int64_t request_wait_ms(int sock, int index, int64_t silence_ms)
{
    if (RequestAddress < 0 || node.state == node_given_up)
        return silence_ms;
    // Listening, before the first request: nothing is due before the
    // silence, and a broadcasting bus costs no clock reading more. Once it
    // is due or said (or never said), the node keeps its own time.
    if (node.state == node_unclaimed && !node.asked && silence_ms > 0)
        return silence_ms;
    const int64_t now_ns = monotonic_ns();
    node.index = index;
    if (node.gap_ns == 0)
        node.gap_ns = int64_t{RequestInterval} * 1000 * ms_ns;
    // A frame taken answers what was asked and resets the gap.
    const int64_t taken_ns = ns_of(report_taken_at());
    if (taken_ns != node.taken_ns) {
        node.taken_ns = taken_ns;
        node.unanswered_said = false;
        node.gap_ns = int64_t{RequestInterval} * 1000 * ms_ns;
        if (node.asked && taken_ns >= node.asked_ns)
            node.awaiting_answer = false;
    }
    // A frame taken since the link went down: it was listened to.
    if (node.taken_ns > node.taken_before_down_ns)
        node.relisten = false;
    const int64_t silent_from = node.taken_ns + listen_ns();
    const int64_t next_check_ns = std::max(next_request_at(), node.retry_ns);
    switch (node.state) {
    case node_unclaimed:
        // A link that the table knows is down is waited for: its return
        // wakes the loop. The silence is said meanwhile, since no request
        // can go unanswered.
        if (link_is_down(index)) {
            if (now_ns >= next_check_ns && FrameTimeout > 0)
                report_receive_timeout();
        } else if (node.relisten) {
            // Back: the bus is listened to first, as at the start.
            node.relisten = false;
            node.retry_ns = now_ns + listen_ns();
        } else if (now_ns >= next_check_ns) {
            start_check(sock, now_ns);
        } else if (now_ns >= silent_from && FrameTimeout > 0) {
            // Silent, with the check held back: nothing asked can end it.
            report_receive_timeout();
        }
        break;
    case node_checking:
        if (now_ns >= node.deadline_ns) {
            if (node.echoed)
                claim(now_ns);
            else
                unechoed(now_ns, "request for address claims");
        }
        break;
    case node_claiming:
        if (now_ns >= node.deadline_ns) {
            if (node.echoed)
                node.state = node_holding;
            else
                unechoed(now_ns, "address claim");
        }
        break;
    default:
        break;
    }
    if (node.state == node_holding) {
        widen_filter(sock);
        if (node.awaiting_answer && now_ns >= node.asked_ns + answer_ns)
            unanswered("none within 1.25 s");
        else if (!node.awaiting_answer && now_ns >= next_request_at())
            send_request(now_ns);
    }
    if (node.state == node_given_up) {
        narrow_filter();
        return silence_ms;
    }
    int64_t due_ns = next_request_at();
    if (node.state == node_unclaimed && node.retry_ns > due_ns)
        due_ns = node.retry_ns;
    if (due_ns <= now_ns)
        due_ns = now_ns + 1000 * ms_ns;
    if (node.state == node_checking || node.state == node_claiming)
        due_ns = node.deadline_ns;
    else if (node.state == node_holding && node.awaiting_answer)
        due_ns = node.asked_ns + answer_ns;
    int64_t wait_ms = (due_ns - now_ns + ms_ns - 1) / ms_ns;
    // Without a claim no request can end the silence: it is said on time.
    if (node.state == node_unclaimed && silence_ms > 0 && silence_ms < wait_ms)
        wait_ms = silence_ms;
    return wait_ms > 0 ? wait_ms : 1;
}

bool request_heard(const can_frame &frame, int index, bool local)
{
    // The controller went bus-off or restarted: what waited in it is gone.
    if ((frame.can_id & CAN_ERR_FLAG) && RequestAddress >= 0) {
        if (index == node.index) {
            node.unechoed_since_ns = 0;
            node.check_outstanding = node.claim_outstanding = false;
        }
        return true;
    }
    const bool hearing = node.state != node_unclaimed || node.sock >= 0;
    if (RequestAddress < 0 || !hearing || !(frame.can_id & CAN_EFF_FLAG) ||
        (frame.can_id & CAN_RTR_FLAG))
        return false;
    const j1939_addr_t id(frame.can_id);
    const uint8_t format = id.pgn >> 8;
    if (id.data_page != 0 ||
        (format != pgn_request >> 8 && format != pgn_address_claimed >> 8 &&
         format != pgn_acknowledgement >> 8))
        return false;
    // Another interface's, or the node's after it gave up: not for it.
    if (index != node.index || node.state == node_given_up)
        return true;
    const int64_t now_ns = monotonic_ns();
    const bool claim = format == pgn_address_claimed >> 8 && frame.can_dlc == 8;
    const uint64_t name = claim ? read_little_endian(frame.data, 8) : 0;
    const uint8_t from = id.source_address;
    // Its own frames come back once each, marked as this device's (a claim
    // only with its NAME: another program here may claim with another).
    if (local && (claim ? name == RequestName : from == own_address() || is_check(frame, id))) {
        heard_own(frame, id, now_ns);
    } else if (claim) {
        // Its NAME from anywhere, or its address under another NAME, is
        // another node's (a device cloned with the same identity, or a
        // forger).
        if (name == RequestName || from == own_address())
            claimed_by_other(name, from);
    } else if (format != pgn_address_claimed >> 8 && from != own_address()) {
        if (format == pgn_request >> 8)
            heard_request(frame, id.pgn & 0xFF, now_ns);
        else
            heard_acknowledgement(frame, from);
    }
    return true;
}
