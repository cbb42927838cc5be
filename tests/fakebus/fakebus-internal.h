// The stand-in's own header: each concern's state, one struct a concern, and
// what its files ask of one another. The tests see tests/fakebus.h alone.
//
// Test stand-in for what the daemon needs from the platform but must not get
// on a development machine: a CAN socket and a settable real-time clock, with
// the kernel's synchronisation state (clock_adjtime).
//
// Preloaded into the daemon (LD_PRELOAD), it plays the bus script named by
// PGNCLOCK_FAKEBUS; linked into the unit tests, it serves them a simulated
// clock through fakebus.h. Either way the real clock is never set.
// Like the kernel's, clock_adjtime gives back in time the clock it leaves.
//
// One file a concern:
//   script.cpp   the bus script: its language, parser and player; the trace
//   clock.cpp    the simulated clocks and the kernel's synchronisation state
//   sockets.cpp  the calls every simulated socket goes through, handed to
//                the file of the socket; which sockets raise SIGIO
//   can.cpp      the raw CAN socket: filters, stamps, timeout and receive
//   links.cpp    the interfaces and rtnetlink: the link dump and link events
//   tap.cpp      the packet socket and the classic BPF program it runs
//   j1939.cpp    the J1939 socket that the daemon sends through
//   chrony.cpp   the socket that stands in for chrony's ("listen")
//   notify.cpp   sendto: systemd's notification socket, and chrony's
//   etc.cpp      the configuration's /etc, redirected
#pragma once

#include "fakebus.h"

#include <dlfcn.h>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <linux/filter.h>
#include <sys/socket.h>
#include <sys/timex.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <utility>
#include <vector>

// With 64-bit time on a 32-bit target the headers map these functions to
// their *64 symbols; forwarding must ask for the same ones.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
#define TIME64_SYMBOL(name) "__" name "64"
#else
#define TIME64_SYMBOL(name) name
#endif

// Hidden, so that the library exports only the calls it interposes and those
// of fakebus.h.
namespace fakebus __attribute__((visibility("hidden"))) {

// script.cpp

struct Script {
    std::vector<std::string> lines;
    size_t next_line = 0;
    // The script asked for the trace: what the daemon did to the clock and
    // the socket, line by line.
    bool tracing = false;
    // Within a "burst": the link events up to the next frame come with it.
    bool burst = false;
};
extern Script script;

// One line of the trace, when the script asked for it.
__attribute__((format(printf, 1, 2))) void trace(const char *format, ...);
[[noreturn]] void die(const std::string &why);
void load_script();
// The script's "wait": every clock moves on. A receive with a timeout that
// ends first gives up there (false), and the rest of the wait is still to
// come, as the next line.
bool pass_time(timespec span, bool receiving);
// Runs the script up to its next receive event and returns what that
// receive gives back; a frame's arrival, interface and whether this device
// sent it go to the last three.
ssize_t play_next_receive(void *buffer, size_t length, timespec &arrival, bool nonblocking,
                          int &ifindex, bool &local);
// A link watcher's receive: the script runs on, frames lost with no socket
// to hear them, up to the next link event.
void play_until_link_event(int watcher);

template <typename Function>
Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// clock.cpp

// The kernel's state after boot, and again after every clock set.
constexpr long unsynchronised_maxerror = 16000000;
constexpr timex booted_ntp_state()
{
    timex state{};
    state.status = STA_UNSYNC;
    state.maxerror = unsynchronised_maxerror;
    state.esterror = unsynchronised_maxerror;
    return state;
}

struct Clocks {
    timespec realtime{};
    timespec boottime{1000, 0};
    // CLOCK_MONOTONIC: only the time that passes on the script (wait, stall,
    // hold) moves it; "now" does not.
    timespec monotonic{1000, 0};
    int settime_errno = 0;
    bool mktime_fails = false;
    unsigned settime_count = 0;
    timex ntp_state = booted_ntp_state();
    unsigned adjtime_count = 0;
    // The next flush of standard output takes hold; with hold_steps another
    // process steps the clock by hold_step meanwhile.
    timespec hold{};
    timespec hold_step{};
    bool hold_steps = false;
    // Another process steps the clock by race_step right after the daemon's
    // next step of it.
    timespec race_step{};
    bool races = false;
    // Armed by the next flush of standard output: the daemon's next read of
    // the real-time clock (clock_gettime, or clock_adjtime's reading) is
    // followed by preempt_by passing, as when it is pre-empted or stopped.
    timespec preempt_by{};
    bool preempt_pending = false;
    bool preempt_armed = false;
};
extern Clocks clocks;

void advance(timespec &clock, const timespec &by);
// The clock read as if it had always read so: the boot-time clock moves with it.
void set_clock_keeping_offset(const timespec &now);
// A step by another process, which clears the kernel's state as any does.
void foreign_step(const timespec &by);
// The clock and the kernel's synchronisation state, as the trace and the
// last line give them.
void print_clock(const char *before);

// sockets.cpp

struct Sigio {
    // The sockets the daemon made O_ASYNC (fcntl), which raise SIGIO.
    std::vector<int> async_sockets;
    // SIGIO was raised (a link event, a copy on the tap) since the receive
    // began.
    bool raised = false;
};
extern Sigio sigio;

bool is_async(int fd);

// can.cpp

struct CanSocket {
    int fd = -1;
    // CAN_RAW_ERR_FILTER: the error classes whose error frames it takes.
    can_err_mask_t error_mask = 0;
    int bound_index = 0;
    bool bound = false;
    // Its interface went away: the next receive fails with ENODEV.
    bool enodev_pending = false;
    // Its interface went down: the next receive fails with ENETDOWN.
    bool enetdown_pending = false;
    bool socket_fails = false;
    bool bind_fails = false;
    bool filter_fails = false;
    bool stamps_wanted = false;
    // SO_RCVTIMEO (zero: none), and how long the receive under way has
    // waited.
    timespec receive_timeout{};
    timespec waited_in_receive{};
    // The kernel's default: one filter that passes every identifier.
    std::vector<can_filter> filters{can_filter{0, 0}};
    unsigned frames_filtered = 0;
    // The frame being received comes without the kernel's stamp.
    bool unstamped = false;
    // When the last frame arrived, which a queued one shares; how much later
    // than it arrives the next frame is received.
    timespec last_arrival{};
    timespec stall{};
};
extern CanSocket can_socket;

bool is_can_socket(int fd);
int open_can_socket(int type, int protocol);
void close_can_socket();
int set_can_socket_option(int level, int name, const void *value, socklen_t length);
int bind_can_socket(const sockaddr *address, socklen_t length);

// links.cpp

struct Interface {
    std::string name;
    int index;
    std::string kind;
    bool present;
    std::vector<std::string> altnames;
    // Administratively down ("down"): present, but no frame passes.
    bool down = false;
};

// Netlink sockets, those among them that watch the links, and the replies
// and events waiting to be read from them.
struct Links {
    std::vector<Interface> interfaces;
    std::vector<int> netlink_sockets, watchers;
    std::vector<std::pair<int, std::vector<char>>> messages;
    // The watcher whose receive plays the script up to the next link event.
    int waiting_watcher = -1;
    bool netlink_refused = false;
};
extern Links links;

Interface *find_interface(const std::string &name);
// A link event for every watcher; with a SIGIO handler installed, the
// signal that the kernel sends an owner of an O_ASYNC socket.
void tell_link_watchers(uint16_t type, const Interface *link);
bool is_netlink(int fd);
int open_netlink_socket(int type, int protocol);
int bind_netlink_socket(int fd, const sockaddr *address, socklen_t length);
void forget_netlink_socket(int fd);

// tap.cpp

// The packet socket, its filter, the copies it holds, and what it lost.
struct PacketTap {
    int fd = -1;
    int index = 0;
    bool bound = false;
    bool refused = false;
    bool loses_next = false;
    unsigned drops = 0;
    std::vector<sock_filter> program;
    std::deque<std::pair<int, can_frame>> copies;
};
extern PacketTap tap;

// A frame this device sent passes the taps on its way out, before its echo.
void tap_copy(int ifindex, const can_frame &frame);
bool is_packet_socket(int fd);
int open_packet_socket(int type, int protocol);
void close_packet_socket();
int set_packet_socket_option(int level, int name, const void *value, socklen_t length);
int bind_packet_socket(const sockaddr *address, socklen_t length);

// j1939.cpp

struct SentFrame {
    timespec at;  // CLOCK_MONOTONIC
    can_frame frame;
    int index;
};

// The J1939 socket: its options and bind, the claim the kernel keeps for
// it, what it sent, and how many frames it would have queued unread.
struct J1939Socket {
    int fd = -1;
    // "no-j1939": the kernel has no J1939 stack.
    bool refused = false;
    bool broadcast = false;
    int priority = 6;
    std::vector<j1939_filter> filters;
    bool bound = false;
    int index = 0;
    uint64_t name = 0;
    uint8_t addr = 0xFF;
    bool claim_stands = false;
    uint64_t claimed_name = 0;
    uint8_t claimed_addr = 0xFF;
    int64_t claim_stands_ns = 0;
    std::vector<SentFrame> sent;
    unsigned unread = 0;
    // "no-ack": nothing on the bus acknowledges a frame, so what is sent
    // waits in the controller, echoes to come.
    bool unacknowledged = false;
    std::vector<std::string> waiting;
};
extern J1939Socket j1939;

bool is_j1939_socket(int fd);
int open_j1939_socket();
void close_j1939_socket();
int set_j1939_socket_option(int level, int name, const void *value, socklen_t length);
int bind_j1939_socket(const sockaddr *address, socklen_t length);
ssize_t send_j1939(const void *data, size_t length, int flags, const sockaddr *to,
                   socklen_t to_length);
// A frame on the bus, as the kernel's stack sees it: a claim may take the
// address, and one that the socket would queue is counted. looped: one that
// this device sent.
void j1939_heard(const can_frame &frame, int index, bool looped);
// "down" and "up": frames stop, the claim is forgotten, a raw socket bound
// there is told, and so are the link watchers.
void set_link_down(Interface &link, bool down);
void j1939_reset();
// "ack": the waiting frames go out and echo, in order; flushed ("bus-off"):
// the controller restarts and drops them.
void set_acknowledged(bool acknowledged, bool flushed);

// chrony.cpp

struct Chrony {
    // The socket that "listen" bound, standing in for chrony's.
    int listener = -1;
};
extern Chrony chrony;

void listen_at(const std::string &path);
void stop_listening();
// What the listening socket got from the send just made, as chrony reads it.
void show_chrony_datagram();

}  // namespace fakebus
