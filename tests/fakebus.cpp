// Test stand-in for what the daemon needs from the platform but must not get
// on a development machine: a CAN socket and a settable real-time clock, with
// the kernel's synchronisation state (clock_adjtime).
//
// Preloaded into the daemon (LD_PRELOAD), it plays the bus script named by
// PGNCLOCK_FAKEBUS; linked into the unit tests, it serves them a simulated
// clock through fakebus.h. Either way the real clock is never set.
//
// Bus script, one command a line (a line starting with '#' is a comment):
//   now SECONDS[.FRACTION]   what CLOCK_REALTIME reads from here on
//   refuse | accept          later clock sets fail with EPERM | succeed
//   frame ID#DATA [IFACE] [local] [ago=SECONDS]
//                            one frame, in cansend's notation; an 8-digit
//                            ID is extended, a 3-digit one standard, and
//                            "R" after the "#" makes it a remote request. It
//                            arrives now, on IFACE if named, is stamped with
//                            that time when the socket asked for stamps
//                            (SO_TIMESTAMPNS), and is dropped unread when the
//                            socket's receive filter (CAN_RAW_FILTER) does not
//                            pass it, or when the socket is bound to another
//                            interface or IFACE is unplugged. "local": this
//                            device sent it (MSG_DONTROUTE, the local echo).
//                            ago=: stamped that long before it is received,
//                            as a frame the kernel stamped before a step but
//                            queued only after it. "sent": this device sent
//                            it from a socket closed before it went out, so
//                            its echo is unmarked. A frame "local" or "sent"
//                            passes the packet taps on its way out first;
//                            "unstamped": the kernel gives it no stamp.
//                            "unechoed": its echo never comes (the
//                            controller restarted before it went out). A
//                            frame right after a link event came with it:
//                            the receive returns the frame, not EINTR
//   tap-loses                the packet taps lose the next copy, as a full
//                            queue does (PACKET_STATISTICS counts it)
//   no-packet-socket         a packet socket is refused (EPERM), as without
//                            CAP_NET_RAW
//   no-netlink               rtnetlink sockets are refused (EPERM)
//   repeat N LINE            LINE, N times
//   race SECONDS[.FRACTION]  another process steps the clock by this much
//                            right after the daemon's next step of it
//   interface NAME INDEX KIND [ALTNAME...]
//                            an interface present from the start, of the
//                            link kind KIND (vcan, vxcan, can; another kind
//                            is no CAN interface), answering to the
//                            alternative names too; without any, no
//                            interface is present
//   rename NAME NEW          the interface is called NEW from now on, and
//                            keeps its index; told to link watchers
//   altname NAME ALT         the interface answers to ALT too; told to link
//                            watchers
//   unplug NAME | plug NAME INDEX [KIND]
//                            the interface goes away (a socket bound to it
//                            fails its next receive with ENODEV, once, and
//                            hears nothing more) | comes, or comes back,
//                            under INDEX; either is told to rtnetlink's link
//                            watchers
//   stall SECONDS[.FRACTION] the next frame arrives now (a queued one: when
//                            it did) but is received this much later, as by
//                            a stopped daemon
//   hold SECONDS[.FRACTION] [STEP]
//                            the daemon's next flush of standard output
//                            takes this long, as when its pipe is full and
//                            the reader stopped: it is held between reading
//                            the clock and setting it; meanwhile another
//                            process steps the clock by STEP seconds
//   step SECONDS[.FRACTION]  another process (date -s) steps the clock by
//                            this much, forward or, with "-", back
//   wait SECONDS[.FRACTION]  time passes with nothing on the bus; a receive
//                            whose timeout (SO_RCVTIMEO) ends first fails
//                            then with EAGAIN, and the rest of the wait
//                            follows
//   queued ID#DATA           a frame that arrived with the one before it and
//                            waits in the queue behind it: stamped as that
//                            one was, and the only kind of frame that a
//                            receive with MSG_DONTWAIT takes (others wait for
//                            the next blocking receive: EAGAIN)
// CLOCK_BOOTTIME moves with the real-time clock, except when that is set or
// stepped: "now" says what the clock reads, as if it had always read so,
// while a set, a step or "step" moves it alone. CLOCK_MONOTONIC moves only
// with the time that passes: wait, stall and hold. rtnetlink (NETLINK_ROUTE)
// answers a dump of the links (RTM_GETLINK) with their names, kinds and
// flags (a controller and a vxcan echo, IFF_ECHO), and tells link watchers
// (RTMGRP_LINK) of plug, unplug, rename and altname: with a SIGIO handler
// installed, each raises SIGIO, which ends a blocking CAN receive with EINTR;
// a watcher's blocking receive plays the script up to the next of them. A
// packet socket (AF_PACKET) bound to ETH_P_ALL gets a copy of each frame sent
// from this device that its classic BPF filter passes, run as the kernel
// runs it (the frame's bytes, its length, PACKET_OUTGOING and ETH_P_CAN),
// from every interface or the one it is bound to (none once that one has
// gone), each raising SIGIO for an O_ASYNC socket; its filter may be replaced.
//   listen PATH | unlisten   a real Unix datagram socket bound at PATH, as
//                            chrony's refclock SOCK is | closed, its file
//                            left, as a stopped chrony leaves it. The kernel
//                            then refuses what is sent there (ECONNREFUSED),
//                            as it fails a send to a path that has no socket
//                            (ENOENT). Each datagram it gets is shown as
//                            chrony reads a sample of its size
//   ntp-status [FLAG...]     the kernel's status bits as another time
//                            daemon left them, by name without "STA_" (PLL,
//                            FLL, PPSTIME, PPSFREQ, UNSYNC): those alone are
//                            set
//   recv-error | recv-empty  one receive that fails (EINTR) | returns 0
//   socket-error             the socket cannot be opened (EAFNOSUPPORT)
//   filter-error             the receive filter is refused (ENOPROTOOPT)
//   bind-error               the socket's bind fails (ENODEV)
//   trace                    for the whole run, wherever it stands (best at
//                            the top): standard error gets a line
//                            "fakebus: ..." for each thing the daemon does
//                            to the socket and the clock: the socket bound,
//                            every write of the clock or the kernel's
//                            synchronisation state (the clock and the state
//                            after it), a step by another process, and at
//                            the end the frames the receive filter dropped
// Without "trace", standard error holds the daemon's own lines, each
// notification to systemd ("fakebus: notify ...": what systemd is told), and
// past the last command one line with the clock as it ends and the kernel's
// state, "fakebus: end of bus script; clock SECONDS.NANOSECONDS,
// synchronised|unsynchronised, maxerror N us"; then the process exits with
// status 0.
#include "fakebus.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <linux/can.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/can/raw.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/timex.h>
#include <sys/un.h>

#include <algorithm>
#include <csignal>
#include <deque>
#include <cstdarg>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

// With 64-bit time on a 32-bit target the headers map these functions to
// their *64 symbols; forwarding must ask for the same ones.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
#define TIME64_SYMBOL(name) "__" name "64"
#else
#define TIME64_SYMBOL(name) name
#endif

namespace {

timespec simulated_now{};
timespec simulated_boottime{1000, 0};
// CLOCK_MONOTONIC: only the time that passes on the script (wait, stall,
// hold) moves it; "now" does not.
timespec simulated_monotonic{1000, 0};
timespec last_arrival{};
int settime_errno = 0;
bool mktime_fails = false;
unsigned settime_count = 0;
// The kernel's state after boot, and again after every clock set.
constexpr long unsynchronised_maxerror = 16000000;
timex booted_ntp_state()
{
    timex state{};
    state.status = STA_UNSYNC;
    state.maxerror = unsynchronised_maxerror;
    state.esterror = unsynchronised_maxerror;
    return state;
}
timex ntp_state = booted_ntp_state();
unsigned adjtime_count = 0;

// What the kernel's ntp_clear() does on every set or step of the clock: the
// clock counts as unsynchronised again and any correction in progress is
// dropped, while the other status bits stay.
void clear_ntp_state()
{
    const int kept = ntp_state.status;
    ntp_state = booted_ntp_state();
    ntp_state.status |= kept;
}

// As the kernel's timespec64_valid_settod: no time before the epoch, and
// none within 30 years of where its 64-bit nanoseconds end (April 2232).
bool settable(const timespec &t)
{
    constexpr int64_t settod_max = 9223372036 - 30LL * 365 * 86400;
    return t.tv_sec >= 0 && t.tv_sec < settod_max && t.tv_nsec >= 0 &&
           t.tv_nsec < 1000000000;
}

struct Interface {
    std::string name;
    int index;
    std::string kind;
    bool present;
    std::vector<std::string> altnames;
};
std::vector<Interface> interfaces;

Interface *find_interface(const std::string &name)
{
    for (Interface &i : interfaces)
        if (i.name == name)
            return &i;
    return nullptr;
}

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
PacketTap tap;

int can_socket = -1;
int bound_index = 0;
bool bound = false;
bool enodev_pending = false;
// Netlink sockets, those among them that watch the links, and the replies
// and events waiting to be read from them.
std::vector<int> netlink_sockets, link_watchers;
std::vector<std::pair<int, std::vector<char>>> netlink_messages;
int waiting_watcher = -1;
bool socket_fails = false;
bool netlink_refused = false;
// The frame being received comes without the kernel's stamp.
bool unstamped = false;
// SIGIO was raised (a link event, a copy on the tap) since the receive began.
bool link_signalled = false;
// The sockets the daemon made O_ASYNC (fcntl), which raise SIGIO.
std::vector<int> async_sockets;
bool is_async(int fd)
{
    return std::find(async_sockets.begin(), async_sockets.end(), fd) != async_sockets.end();
}
bool bind_fails = false;
bool filter_fails = false;
bool stamps_wanted = false;
// The script asked for the trace: what the daemon did to the clock and the
// socket, line by line.
bool tracing = false;
// The CAN socket's SO_RCVTIMEO (zero: none), and how long the receive under
// way has waited.
timespec receive_timeout{};
timespec waited_in_receive{};
// The kernel's default: one filter that passes every identifier.
std::vector<can_filter> filters{can_filter{0, 0}};
unsigned frames_filtered = 0;
timespec stall{};
timespec hold{};
timespec hold_step{};
bool hold_steps = false;
timespec race_step{};
bool races = false;
// The socket that "listen" bound, standing in for chrony's.
int listener = -1;

// One line of the trace, when the script asked for it.
__attribute__((format(printf, 1, 2))) void trace(const char *format, ...)
{
    if (!tracing)
        return;
    va_list arguments;
    va_start(arguments, format);
    fputs("fakebus: ", stderr);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
}

// The clock and the kernel's synchronisation state, as the trace and the
// last line give them.
void print_clock(const char *before)
{
    fprintf(stderr, "fakebus: %sclock %lld.%09ld, %s, maxerror %lld us\n", before,
            static_cast<long long>(simulated_now.tv_sec), simulated_now.tv_nsec,
            ntp_state.status & STA_UNSYNC ? "unsynchronised" : "synchronised",
            static_cast<long long>(ntp_state.maxerror));
}

void advance(timespec &clock, const timespec &by)
{
    clock.tv_sec += by.tv_sec;
    clock.tv_nsec += by.tv_nsec;
    if (clock.tv_nsec >= 1000000000) {
        clock.tv_nsec -= 1000000000;
        ++clock.tv_sec;
    }
}

// The clock read as if it had always read so: the boot-time clock moves with it.
void set_clock_keeping_offset(const timespec &now);
// A step by another process, which clears the kernel's state as any does.
void foreign_step(const timespec &by);
std::vector<std::string> script;
size_t next_line = 0;

template <typename Function>
Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

[[noreturn]] void die(const std::string &why)
{
    fprintf(stderr, "fakebus: %s\n", why.c_str());
    _exit(99);
}

void load_script()
{
    static bool loaded;
    if (loaded)
        return;
    loaded = true;
    const char *path = getenv("PGNCLOCK_FAKEBUS");
    if (!path)
        die("PGNCLOCK_FAKEBUS names no bus script");
    std::ifstream in(path);
    if (!in)
        die(std::string("cannot read ") + path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "interface") {
            Interface added{};
            words >> added.name >> added.index >> added.kind;
            if (added.name.empty() || added.index <= 0 || added.kind.empty())
                die("bad interface: " + line);
            for (std::string alternative; words >> alternative;)
                added.altnames.push_back(alternative);
            added.present = true;
            interfaces.push_back(added);
        } else if (line == "bind-error")
            bind_fails = true;
        else if (line == "socket-error")
            socket_fails = true;
        else if (line == "filter-error")
            filter_fails = true;
        else if (line == "trace")
            tracing = true;
        else if (line == "no-packet-socket")
            tap.refused = true;
        else if (line == "no-netlink")
            netlink_refused = true;
        else if (command == "repeat") {
            int times = 0;
            std::string rest;
            words >> times;
            std::getline(words >> std::ws, rest);
            if (times <= 0 || rest.empty())
                die("bad repeat: " + line);
            script.insert(script.end(), static_cast<size_t>(times), rest);
        } else
            script.push_back(line);
    }
}

timespec parse_time(const std::string &text)
{
    // Negative: as a timespec holds it, whole seconds down and a fraction up.
    if (!text.empty() && text[0] == '-') {
        const timespec magnitude = parse_time(text.substr(1));
        return magnitude.tv_nsec == 0
                   ? timespec{-magnitude.tv_sec, 0}
                   : timespec{-magnitude.tv_sec - 1, 1000000000 - magnitude.tv_nsec};
    }
    timespec t{};
    char *end = nullptr;
    t.tv_sec = strtoll(text.c_str(), &end, 10);
    if (*end == '.') {
        std::string fraction = std::string(end + 1).substr(0, 9);
        fraction.resize(9, '0');
        t.tv_nsec = strtol(fraction.c_str(), nullptr, 10);
    } else if (*end != '\0') {
        die("bad time: " + text);
    }
    return t;
}

can_frame parse_frame(const std::string &text)
{
    can_frame frame{};
    const size_t hash = text.find('#');
    if (hash != 3 && hash != 8)
        die("bad frame: " + text);
    frame.can_id = strtoul(text.substr(0, hash).c_str(), nullptr, 16);
    if (hash == 8)
        frame.can_id |= CAN_EFF_FLAG;
    std::string payload = text.substr(hash + 1);
    if (!payload.empty() && payload[0] == 'R') {
        frame.can_id |= CAN_RTR_FLAG;
        payload.erase(0, 1);
    }
    std::string data;
    for (char c : payload)
        if (c != '.')
            data += c;
    if (data.size() % 2 != 0 || data.size() > 16)
        die("bad frame data: " + text);
    frame.can_dlc = data.size() / 2;
    for (size_t i = 0; i < frame.can_dlc; ++i)
        frame.data[i] = strtoul(data.substr(2 * i, 2).c_str(), nullptr, 16);
    return frame;
}

// An rtnetlink message about an interface: RTM_NEWLINK or RTM_DELLINK with
// its name, flags, link kind and alternative names; or, without one, the end
// of a dump.
std::vector<char> link_message(uint16_t type, const Interface *link)
{
    std::vector<char> message(NLMSG_SPACE(sizeof(ifinfomsg)) + 4096);
    auto *header = reinterpret_cast<nlmsghdr *>(message.data());
    if (!link) {
        header->nlmsg_type = NLMSG_DONE;
        header->nlmsg_len = NLMSG_LENGTH(sizeof(int));
        message.resize(header->nlmsg_len);
        return message;
    }
    header->nlmsg_type = type;
    header->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    auto *info = static_cast<ifinfomsg *>(NLMSG_DATA(header));
    info->ifi_index = link->index;
    // As the drivers set them: a controller and a vxcan echo each frame
    // (IFF_ECHO); a vcan loops it back at once.
    info->ifi_flags = (link->present ? IFF_UP | IFF_RUNNING : 0) |
                      (link->kind == "can" || link->kind == "vxcan" ? 1u << 18 : 0);
    auto add = [&](rtattr *attribute, uint16_t kind, const std::string &text) {
        attribute->rta_type = kind;
        attribute->rta_len = RTA_LENGTH(text.size() + 1);
        memcpy(RTA_DATA(attribute), text.c_str(), text.size() + 1);
        return attribute;
    };
    const auto next = [&] { return reinterpret_cast<rtattr *>(message.data() + header->nlmsg_len); };
    header->nlmsg_len = NLMSG_ALIGN(header->nlmsg_len);
    header->nlmsg_len += RTA_ALIGN(add(next(), IFLA_IFNAME, link->name)->rta_len);
    // Nested: the kind in IFLA_LINKINFO, the other names in IFLA_PROP_LIST.
    const auto nest = [&](uint16_t outer, uint16_t inner, const std::vector<std::string> &texts) {
        rtattr *nested = next();
        nested->rta_type = outer;
        nested->rta_len = RTA_LENGTH(0);
        for (const std::string &text : texts) {
            auto *at = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(nested) + nested->rta_len);
            nested->rta_len += RTA_ALIGN(add(at, inner, text)->rta_len);
        }
        header->nlmsg_len += RTA_ALIGN(nested->rta_len);
    };
    nest(IFLA_LINKINFO, IFLA_INFO_KIND, {link->kind});
    if (!link->altnames.empty())
        nest(IFLA_PROP_LIST, IFLA_ALT_IFNAME, link->altnames);
    message.resize(header->nlmsg_len);
    return message;
}

// A link event for every watcher; with a SIGIO handler installed, the
// signal that the kernel sends an owner of an O_ASYNC socket.
void tell_link_watchers(uint16_t type, const Interface *link)
{
    bool signalled = false;
    for (const int watcher : link_watchers) {
        netlink_messages.emplace_back(watcher, link_message(type, link));
        signalled = signalled || is_async(watcher);
    }
    if (signalled) {
        link_signalled = true;
        raise(SIGIO);
    }
}

// The commands that change the world rather than hand a receive something.
bool run_command(const std::string &command, std::istringstream &words)
{
    std::string argument;
    if (command == "now" && words >> argument) {
        set_clock_keeping_offset(parse_time(argument));
    } else if (command == "step" && words >> argument) {
        foreign_step(parse_time(argument));
    } else if (command == "refuse") {
        settime_errno = EPERM;
    } else if (command == "accept") {
        settime_errno = 0;
    } else if (command == "stall" && words >> argument) {
        stall = parse_time(argument);
    } else if (command == "race" && words >> argument) {
        race_step = parse_time(argument);
        races = true;
    } else if (command == "hold" && words >> argument) {
        hold = parse_time(argument);
        hold_steps = static_cast<bool>(words >> argument);
        if (hold_steps)
            hold_step = parse_time(argument);
    } else if (command == "listen" && words >> argument) {
        listener = real<int (*)(int, int, int)>("socket")(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", argument.c_str());
        unlink(address.sun_path);
        if (listener < 0 ||
            real<int (*)(int, const sockaddr *, socklen_t)>("bind")(
                listener, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
            die("cannot listen at " + argument);
    } else if (command == "ntp-status") {
        static const std::pair<const char *, int> flags[] = {
            {"PLL", STA_PLL},         {"FLL", STA_FLL},       {"PPSTIME", STA_PPSTIME},
            {"PPSFREQ", STA_PPSFREQ}, {"UNSYNC", STA_UNSYNC},
        };
        int status = 0;
        while (words >> argument) {
            const auto *flag = std::find_if(std::begin(flags), std::end(flags),
                                            [&](const auto &f) { return argument == f.first; });
            if (flag == std::end(flags))
                die("no such status flag: " + argument);
            status |= flag->second;
        }
        ntp_state.status = status;
    } else if (command == "unlisten") {
        real<int (*)(int)>("close")(listener);
        listener = -1;
    } else if (command == "rename") {
        std::string from, to;
        words >> from >> to;
        Interface *link = find_interface(from);
        if (!link || to.empty() || find_interface(to))
            die("bad rename: " + from + " " + to);
        link->name = to;
        tell_link_watchers(RTM_NEWLINK, link);
    } else if (command == "altname") {
        std::string name, alternative;
        words >> name >> alternative;
        Interface *link = find_interface(name);
        if (!link || alternative.empty())
            die("bad altname: " + name + " " + alternative);
        link->altnames.push_back(alternative);
        tell_link_watchers(RTM_NEWLINK, link);
    } else if (command == "tap-loses") {
        tap.loses_next = true;
    } else if (command == "unplug" || command == "plug") {
        std::string name;
        words >> name;
        Interface *link = find_interface(name);
        if (!link && command == "plug") {
            interfaces.push_back(Interface{name, 0, "", false, {}});
            link = &interfaces.back();
        }
        if (!link)
            die("no such interface: " + name);
        link->present = command == "plug";
        if (link->present && !(words >> link->index))
            die("plug without an index: " + name);
        std::string kind;
        if (words >> kind)
            link->kind = kind;
        if (link->kind.empty())
            die("an interface without a kind: " + name);
        if (!link->present && tap.index == link->index)
            tap.index = -1;
        // As the kernel's raw_notify(): a socket bound to it is unbound and
        // told once.
        if (!link->present && bound && bound_index == link->index) {
            bound = false;
            enodev_pending = true;
        }
        tell_link_watchers(link->present ? RTM_NEWLINK : RTM_DELLINK, link);
    } else {
        return false;
    }
    return true;
}

// The script's "wait": every clock moves on. A receive with a timeout that
// ends first gives up there (false), and the rest of the wait is still to
// come, as the next line.
bool pass_time(timespec span, bool receiving)
{
    const auto ns = [](const timespec &t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
    const int64_t timeout = ns(receive_timeout);
    if (receiving && timeout > 0 && ns(waited_in_receive) + ns(span) >= timeout) {
        const int64_t until = timeout - ns(waited_in_receive);
        const timespec passed{static_cast<time_t>(until / 1000000000), static_cast<long>(until % 1000000000)};
        const int64_t rest = ns(span) - until;
        script[--next_line] = "wait " + std::to_string(rest / 1000000000) + "." +
                              std::to_string(1000000000 + rest % 1000000000).substr(1);
        span = passed;
    }
    advance(simulated_now, span);
    advance(simulated_boottime, span);
    advance(simulated_monotonic, span);
    advance(waited_in_receive, span);
    return !(receiving && timeout > 0 && ns(waited_in_receive) >= timeout);
}

// The packet socket's classic BPF program over an outgoing frame, as the
// kernel runs it: true when it keeps the packet.
bool tap_program_passes(const std::vector<sock_filter> &program, const can_frame &frame,
                        uint32_t pkttype, uint32_t protocol, uint32_t length, int ifindex)
{
    unsigned char packet[sizeof frame];
    memcpy(packet, &frame, sizeof frame);
    uint32_t a = 0;
    const uint32_t ancillary = static_cast<uint32_t>(SKF_AD_OFF);
    for (size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter &op = program[pc];
        switch (op.code) {
        case BPF_LD | BPF_W | BPF_ABS:
            if (op.k == ancillary + SKF_AD_PKTTYPE)
                a = pkttype;
            else if (op.k == ancillary + SKF_AD_PROTOCOL)
                a = protocol;
            else if (op.k == ancillary + SKF_AD_IFINDEX)
                a = static_cast<uint32_t>(ifindex);
            else if (op.k + 4 <= length && op.k + 4 <= sizeof packet)
                a = uint32_t{packet[op.k]} << 24 | uint32_t{packet[op.k + 1]} << 16 |
                    uint32_t{packet[op.k + 2]} << 8 | packet[op.k + 3];
            else
                return false;  // past the packet: the kernel drops it
            break;
        case BPF_LD | BPF_W | BPF_LEN:
            a = length;
            break;
        case BPF_ALU | BPF_AND | BPF_K:
            a &= op.k;
            break;
        case BPF_JMP | BPF_JEQ | BPF_K:
            pc += a == op.k ? op.jt : op.jf;
            break;
        case BPF_RET | BPF_K:
            return op.k != 0;
        default:
            die("a BPF instruction the stand-in does not simulate");
        }
    }
    die("a BPF program that runs off its end");
}

// A frame this device sent passes the taps on its way out, before its echo.
void tap_copy(int ifindex, const can_frame &frame)
{
    // Bound to one device, the tap hears it alone, and nothing once that
    // device has gone (the kernel drops the hook and forgets the index).
    if (!tap.bound || (tap.index != 0 && ifindex != tap.index) ||
        !tap_program_passes(tap.program, frame, PACKET_OUTGOING, ETH_P_CAN, CAN_MTU, ifindex))
        return;
    // A full queue, which is how copies are lost, holds copies that each
    // raised SIGIO for an owner of the O_ASYNC socket.
    if (std::exchange(tap.loses_next, false))
        ++tap.drops;
    else
        tap.copies.emplace_back(ifindex, frame);
    if (is_async(tap.fd)) {
        link_signalled = true;
        raise(SIGIO);
    }
}

// Whether SIGIO ends the CAN receive under way, as it ends one with a
// timeout: not one that does not wait, nor a link watcher's, nor one whose
// frame came with the signal (the next line): the receive returns that.
bool interrupted(bool nonblocking)
{
    const bool frame_next =
        next_line < script.size() && script[next_line].compare(0, 6, "frame ") == 0;
    return std::exchange(link_signalled, false) && !nonblocking && waiting_watcher < 0 &&
           !frame_next;
}

// Runs the script up to its next receive event and returns what that
// receive gives back; a frame's arrival, interface and whether this device
// sent it go to the last three.
ssize_t play_next_receive(void *buffer, size_t length, timespec &arrival, bool nonblocking,
                          int &ifindex, bool &local)
{
    while (next_line < script.size()) {
        if (enodev_pending) {
            enodev_pending = false;
            errno = ENODEV;
            return -1;
        }
        // Only a queued frame is there already, held off or not; an
        // interface may come or go meanwhile.
        if (nonblocking) {
            const std::string &line = script[next_line];
            if (line.compare(0, 7, "unplug ") == 0 || line.compare(0, 5, "plug ") == 0 ||
                line.compare(0, 7, "rename ") == 0 || line.compare(0, 8, "altname ") == 0) {
                std::istringstream words(script[next_line++]);
                std::string command;
                words >> command;
                run_command(command, words);
                // A signal does not cut short a receive that does not wait.
                link_signalled = false;
                continue;
            }
            size_t next = next_line;
            while (next < script.size() && script[next].compare(0, 6, "stall ") == 0)
                ++next;
            if (next == script.size() || script[next].compare(0, 7, "queued ") != 0) {
                errno = EAGAIN;
                return -1;
            }
        }
        std::istringstream words(script[next_line++]);
        std::string command, argument;
        words >> command;
        if (run_command(command, words)) {
            // A link watcher's wait ends with the event it waits for.
            if (waiting_watcher >= 0 &&
                std::any_of(netlink_messages.begin(), netlink_messages.end(),
                            [](const auto &m) { return m.first == waiting_watcher; }))
                return 0;
            if (interrupted(nonblocking)) {
                errno = EINTR;
                return -1;
            }
            continue;
        }
        if (command == "recv-error") {
            errno = EINTR;
            return -1;
        } else if (command == "recv-empty") {
            return 0;
        } else if (command == "frame" || command == "queued") {
            words >> argument;
            const can_frame frame = parse_frame(argument);
            ifindex = bound_index;
            local = false;
            bool absent = false;
            bool sent = false;
            bool unechoed = false;
            unstamped = false;
            timespec ago{};
            for (std::string word; words >> word;) {
                if (word == "local") {
                    local = true;
                } else if (word == "sent") {
                    sent = true;
                } else if (word == "unechoed") {
                    unechoed = true;
                } else if (word == "unstamped") {
                    unstamped = true;
                } else if (word.compare(0, 4, "ago=") == 0) {
                    ago = parse_time(word.substr(4));
                } else if (const Interface *link = find_interface(word)) {
                    ifindex = link->index;
                    absent = !link->present;
                } else {
                    die("no such interface: " + word);
                }
            }
            if ((local || sent) && !absent)
                tap_copy(ifindex, frame);
            if (!bound || absent || unechoed || (bound_index != 0 && ifindex != bound_index)) {
                if (interrupted(nonblocking)) {
                    errno = EINTR;
                    return -1;
                }
                continue;
            }
            bool passes = false;
            for (const can_filter &filter : filters)
                passes = passes || fakebus_filter_passes(&filter, frame.can_id);
            if (!passes) {
                ++frames_filtered;
                continue;
            }
            const size_t size = std::min(length, sizeof frame);
            memcpy(buffer, &frame, size);
            if (command == "queued") {
                arrival = last_arrival;
                advance(simulated_now, stall);
                advance(simulated_boottime, stall);
                advance(simulated_monotonic, stall);
                stall = timespec{};
                return size;
            }
            arrival = last_arrival = simulated_now;
            const timespec back = parse_time("-" + std::to_string(ago.tv_sec) + "." +
                                             std::to_string(1000000000 + ago.tv_nsec).substr(1));
            advance(arrival, back);
            advance(simulated_now, stall);
            advance(simulated_boottime, stall);
            advance(simulated_monotonic, stall);
            stall = timespec{};
            return size;
        } else if (command == "wait" && words >> argument) {
            if (!pass_time(parse_time(argument), bound)) {
                errno = EAGAIN;
                return -1;
            }
        } else {
            die("unknown command: " + command);
        }
    }
    if (frames_filtered != 0)
        trace("%u frames dropped by the receive filter", frames_filtered);
    print_clock("end of bus script; ");
    exit(0);
}

// A link watcher's receive: the script runs on, frames lost with no socket
// to hear them, up to the next link event.
void play_until_link_event(int watcher)
{
    int ifindex = 0;
    bool local = false;
    timespec arrival{};
    can_frame frame;
    const bool was_bound = bound;
    bound = false;
    waiting_watcher = watcher;
    while (std::none_of(netlink_messages.begin(), netlink_messages.end(),
                        [&](const auto &m) { return m.first == watcher; })) {
        enodev_pending = false;
        play_next_receive(&frame, sizeof frame, arrival, false, ifindex, local);
    }
    waiting_watcher = -1;
    bound = was_bound;
}

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

bool is_netlink(int fd)
{
    return std::find(netlink_sockets.begin(), netlink_sockets.end(), fd) !=
           netlink_sockets.end();
}

void set_clock_keeping_offset(const timespec &now)
{
    // Unsigned, so that any clock the fuzzer gives wraps instead of
    // overflowing; the difference between the two clocks stays the same.
    simulated_boottime.tv_sec = static_cast<time_t>(
        static_cast<uint64_t>(simulated_boottime.tv_sec) + static_cast<uint64_t>(now.tv_sec) -
        static_cast<uint64_t>(simulated_now.tv_sec));
    simulated_boottime.tv_nsec += now.tv_nsec - simulated_now.tv_nsec;
    if (simulated_boottime.tv_nsec < 0) {
        simulated_boottime.tv_nsec += 1000000000;
        simulated_boottime.tv_sec = static_cast<time_t>(
            static_cast<uint64_t>(simulated_boottime.tv_sec) - 1);
    } else if (simulated_boottime.tv_nsec >= 1000000000) {
        simulated_boottime.tv_nsec -= 1000000000;
        simulated_boottime.tv_sec = static_cast<time_t>(
            static_cast<uint64_t>(simulated_boottime.tv_sec) + 1);
    }
    simulated_now = now;
}

void foreign_step(const timespec &by)
{
    advance(simulated_now, by);
    clear_ntp_state();
    if (can_socket >= 0)
        trace("clock stepped by another process to %lld.%09ld",
              static_cast<long long>(simulated_now.tv_sec), simulated_now.tv_nsec);
}

}  // namespace

extern "C" {

void fakebus_set_now(const timespec *now) { set_clock_keeping_offset(*now); }
timespec fakebus_now(void) { return simulated_now; }
void fakebus_hold(const timespec *by) { hold = *by; }
void fakebus_wait(const timespec *span) { pass_time(*span, false); }
void fakebus_refuse_settime(int error) { settime_errno = error; }
void fakebus_fail_mktime(int fail) { mktime_fails = fail != 0; }
unsigned fakebus_settime_count(void) { return settime_count; }
unsigned fakebus_adjtime_count(void) { return adjtime_count; }
timex fakebus_ntp_state(void) { return ntp_state; }
void fakebus_set_ntp_status(int status) { ntp_state.status = status; }
void fakebus_set_synchronised(long error_us)
{
    ntp_state.status &= ~STA_UNSYNC;
    ntp_state.maxerror = error_us;
    ntp_state.esterror = error_us;
}

// As the kernel's af_can does: error frames are matched against filters
// whose mask has the error flag only, by any common bit; a mask that asks for
// the frame format with a standard identifier adds the remote flag to it;
// the filter's identifier is masked once, and CAN_INV_FILTER inverts it.
int fakebus_tap_passes(const sock_filter *program, size_t length, const can_frame *frame,
                       uint32_t pkttype, uint32_t protocol, uint32_t frame_length, int ifindex)
{
    return tap_program_passes(std::vector<sock_filter>(program, program + length), *frame, pkttype,
                              protocol, frame_length, ifindex);
}
int fakebus_filter_passes(const can_filter *filter, uint32_t can_id)
{
    canid_t mask = filter->can_mask;
    canid_t id = filter->can_id;
    const bool inverted = id & CAN_INV_FILTER;
    if (can_id & CAN_ERR_FLAG)
        return (mask & CAN_ERR_FLAG) && (can_id & mask & CAN_ERR_MASK) != 0;
    if (mask & CAN_ERR_FLAG)
        return 0;
    if ((mask & CAN_EFF_FLAG) && !(id & CAN_EFF_FLAG))
        mask &= CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG;
    id &= mask;
    const bool matches = (can_id & mask) == id;
    return inverted ? !matches : matches;
}
void fakebus_reset(void)
{
    simulated_now = timespec{};
    ntp_state.status = 0;
    settime_errno = 0;
    mktime_fails = false;
    settime_count = 0;
    hold = timespec{};
    hold_steps = false;
    simulated_boottime = timespec{1000, 0};
    simulated_monotonic = timespec{1000, 0};
    clear_ntp_state();
    adjtime_count = 0;
}

int socket(int domain, int type, int protocol)
{
    if (domain == AF_NETLINK) {
        if ((type & ~SOCK_CLOEXEC) != SOCK_RAW || protocol != NETLINK_ROUTE)
            die("only rtnetlink sockets are simulated");
        load_script();
        if (netlink_refused) {
            errno = EPERM;
            return -1;
        }
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        netlink_sockets.push_back(fd);
        return fd;
    }
    if (domain == AF_PACKET) {
        load_script();
        if (tap.refused || tap.fd >= 0) {
            errno = EPERM;
            return -1;
        }
        if ((type & ~SOCK_CLOEXEC) != SOCK_RAW || protocol != 0)
            die("only a raw packet socket of protocol 0, bound later, is simulated");
        tap.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        return tap.fd;
    }
    if (domain != PF_CAN)
        return real<int (*)(int, int, int)>("socket")(domain, type, protocol);
    if (type != SOCK_RAW || protocol != CAN_RAW)
        die("only raw CAN sockets are simulated");
    load_script();
    if (socket_fails) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    if (can_socket >= 0)
        die("a second CAN socket while the first is open");
    // A new socket has the kernel's defaults.
    filters.assign(1, can_filter{0, 0});
    stamps_wanted = false;
    receive_timeout = timespec{};
    bound = false;
    can_socket = open("/dev/null", O_RDONLY);
    return can_socket;
}

int close(int fd)
{
    if (fd == can_socket && fd >= 0) {
        can_socket = -1;
        bound = false;
        enodev_pending = false;
    }
    if (fd == tap.fd && fd >= 0)
        tap = PacketTap{};
    async_sockets.erase(std::remove(async_sockets.begin(), async_sockets.end(), fd),
                        async_sockets.end());
    netlink_sockets.erase(std::remove(netlink_sockets.begin(), netlink_sockets.end(), fd),
                          netlink_sockets.end());
    link_watchers.erase(std::remove(link_watchers.begin(), link_watchers.end(), fd),
                        link_watchers.end());
    return real<int (*)(int)>("close")(fd);
}

// F_SETFL with O_ASYNC on a simulated socket: from then on it raises SIGIO
// (F_SETOWN names the process, which is this one). The rest is the real call.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
#define FCNTL_SYMBOL "__fcntl_time64"
#elif defined(__USE_FILE_OFFSET64) && __WORDSIZE == 32
#define FCNTL_SYMBOL "fcntl64"
#else
#define FCNTL_SYMBOL "fcntl"
#endif
int fcntl(int fd, int command, ...)
{
    va_list arguments;
    va_start(arguments, command);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    const bool simulated = is_netlink(fd) || (fd == tap.fd && fd >= 0);
    if (simulated && command == F_SETFL && (reinterpret_cast<intptr_t>(argument) & O_ASYNC) &&
        !is_async(fd))
        async_sockets.push_back(fd);
    if (simulated && (command == F_SETFL || command == F_SETOWN))
        return 0;
    return real<int (*)(int, int, void *)>(FCNTL_SYMBOL)(fd, command, argument);
}

unsigned if_nametoindex(const char *name)
{
    load_script();
    for (const Interface &link : interfaces)
        if (link.present && (link.name == name || std::find(link.altnames.begin(), link.altnames.end(),
                                                            name) != link.altnames.end()))
            return link.index;
    return 0;
}

char *if_indextoname(unsigned index, char *name)
{
    load_script();
    for (const Interface &link : interfaces) {
        if (link.present && static_cast<unsigned>(link.index) == index) {
            snprintf(name, IF_NAMESIZE, "%s", link.name.c_str());
            return name;
        }
    }
    errno = ENXIO;
    return nullptr;
}

ssize_t send(int fd, const void *data, size_t length, int flags)
{
    if (!is_netlink(fd))
        return real<ssize_t (*)(int, const void *, size_t, int)>("send")(fd, data, length,
                                                                        flags);
    const auto *header = static_cast<const nlmsghdr *>(data);
    if (length < NLMSG_LENGTH(sizeof(ifinfomsg)) || header->nlmsg_type != RTM_GETLINK ||
        !(header->nlmsg_flags & NLM_F_DUMP))
        die("a netlink request the stand-in does not simulate");
    for (const Interface &link : interfaces)
        if (link.present)
            netlink_messages.emplace_back(fd, link_message(RTM_NEWLINK, &link));
    netlink_messages.emplace_back(fd, link_message(NLMSG_DONE, nullptr));
    return static_cast<ssize_t>(length);
}

// systemd's notification socket, where $NOTIFY_SOCKET names it, for the
// daemon run over a bus script: each datagram becomes a trace line, its
// lines joined by " | ". Any other datagram goes out, and a sample that
// reaches the listening socket ("listen") is shown.
ssize_t sendto(int fd, const void *data, size_t length, int flags, const sockaddr *to,
               socklen_t to_length)
{
    const char *notify = getenv("NOTIFY_SOCKET");
    const auto *unix_to = reinterpret_cast<const sockaddr_un *>(to);
    const size_t path_length = to_length > offsetof(sockaddr_un, sun_path)
                                   ? to_length - offsetof(sockaddr_un, sun_path)
                                   : 0;
    if (getenv("PGNCLOCK_FAKEBUS") && notify && to && to->sa_family == AF_UNIX &&
        path_length == strlen(notify) && path_length != 0 &&
        memcmp(unix_to->sun_path + 1, notify + 1, path_length - 1) == 0 &&
        unix_to->sun_path[0] == (notify[0] == '@' ? '\0' : notify[0])) {
        std::string message(static_cast<const char *>(data), length);
        for (size_t at; (at = message.find('\n')) != std::string::npos;)
            message.replace(at, 1, " | ");
        fprintf(stderr, "fakebus: notify %s\n", message.c_str());
        return static_cast<ssize_t>(length);
    }
    const ssize_t sent = real<ssize_t (*)(int, const void *, size_t, int, const sockaddr *,
                                          socklen_t)>("sendto")(fd, data, length, flags, to,
                                                                to_length);
    const int error = errno;
    unsigned char got[64];
    const ssize_t size = listener >= 0 ? real<ssize_t (*)(int, void *, size_t, int)>("recv")(
                                             listener, got, sizeof got, MSG_DONTWAIT)
                                       : -1;
    if (size == 32)
        show_sample<int32_t>(got, size);
    else if (size == 40)
        show_sample<int64_t>(got, size);
    else if (size >= 0)
        fprintf(stderr, "fakebus: a datagram of %zd bytes, no sample\n", size);
    errno = error;
    return sent;
}

ssize_t recv(int fd, void *buffer, size_t length, int flags)
{
    if (!is_netlink(fd))
        return real<ssize_t (*)(int, void *, size_t, int)>("recv")(fd, buffer, length, flags);
    const bool queued = std::any_of(netlink_messages.begin(), netlink_messages.end(),
                                    [&](const auto &m) { return m.first == fd; });
    if (!queued && (flags & MSG_DONTWAIT)) {
        errno = EAGAIN;
        return -1;
    }
    if (std::find(link_watchers.begin(), link_watchers.end(), fd) != link_watchers.end())
        play_until_link_event(fd);
    for (auto m = netlink_messages.begin(); m != netlink_messages.end(); ++m) {
        if (m->first == fd) {
            const size_t size = std::min(length, m->second.size());
            memcpy(buffer, m->second.data(), size);
            netlink_messages.erase(m);
            return static_cast<ssize_t>(size);
        }
    }
    die("a netlink receive that would wait for ever");
}

int setsockopt(int fd, int level, int name, const void *value, socklen_t length)
{
    if (fd == tap.fd && fd >= 0) {
        if (level == SOL_SOCKET && name == SO_RCVBUF)
            return 0;
        if (level != SOL_SOCKET || name != SO_ATTACH_FILTER || length != sizeof(sock_fprog))
            die("setsockopt on the packet socket with an option the stand-in does not simulate");
        const auto *program = static_cast<const sock_fprog *>(value);
        tap.program.assign(program->filter, program->filter + program->len);
        return 0;
    }
    if (fd != can_socket || can_socket < 0)
        return real<int (*)(int, int, int, const void *, socklen_t)>(
            TIME64_SYMBOL("setsockopt"))(fd, level, name, value, length);
    if (level == SOL_SOCKET && name == SO_TIMESTAMPNS) {
        if (length < sizeof(int)) {
            errno = EINVAL;
            return -1;
        }
        stamps_wanted = *static_cast<const int *>(value) != 0;
        return 0;
    }
    if (level == SOL_SOCKET && name == SO_RCVTIMEO) {
        const auto *timeout = static_cast<const timeval *>(value);
        if (length < sizeof(timeval) || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000 ||
            timeout->tv_sec < 0) {
            errno = length < sizeof(timeval) ? EINVAL : EDOM;
            return -1;
        }
        receive_timeout = timespec{timeout->tv_sec, static_cast<long>(timeout->tv_usec) * 1000};
        return 0;
    }
    if (level == SOL_CAN_RAW && name == CAN_RAW_FILTER) {
        if (length % sizeof(can_filter) != 0 ||
            length / sizeof(can_filter) > CAN_RAW_FILTER_MAX) {
            errno = EINVAL;
            return -1;
        }
        if (filter_fails) {
            errno = ENOPROTOOPT;
            return -1;
        }
        const auto *given = static_cast<const can_filter *>(value);
        filters.assign(given, given + length / sizeof(can_filter));
        return 0;
    }
    die("setsockopt with an option the stand-in does not simulate");
}

int bind(int fd, const sockaddr *address, socklen_t length)
{
    if (is_netlink(fd)) {
        const auto *groups = reinterpret_cast<const sockaddr_nl *>(address);
        if (length < sizeof(sockaddr_nl) || groups->nl_family != AF_NETLINK)
            die("bind with a malformed netlink address");
        if (groups->nl_groups & RTMGRP_LINK)
            link_watchers.push_back(fd);
        return 0;
    }
    if (fd == tap.fd && fd >= 0) {
        const auto *link = reinterpret_cast<const sockaddr_ll *>(address);
        if (length < sizeof(sockaddr_ll) || link->sll_family != AF_PACKET)
            die("bind of the packet socket with a malformed address");
        tap.index = link->sll_ifindex;
        // Only a tap of every protocol sees the frames going out.
        tap.bound = link->sll_protocol == htons(ETH_P_ALL);
        if (tap.program.empty())
            die("a packet socket bound before its filter: it would read every packet");
        return 0;
    }
    if (fd != can_socket || can_socket < 0)
        return real<int (*)(int, const sockaddr *, socklen_t)>("bind")(
            fd, address, length);
    const auto *can = reinterpret_cast<const sockaddr_can *>(address);
    if (length != sizeof(sockaddr_can) || can->can_family != AF_CAN)
        die("bind with a malformed CAN address");
    trace("bound to ifindex %d", can->can_ifindex);
    // As raw_bind(): an interface that is gone, or no CAN one, is no device.
    const bool present = can->can_ifindex == 0 ||
                         std::any_of(interfaces.begin(), interfaces.end(), [&](const Interface &i) {
                             return i.present && i.index == can->can_ifindex &&
                                    (i.kind == "can" || i.kind == "vcan" || i.kind == "vxcan");
                         });
    if (bind_fails || !present) {
        errno = ENODEV;
        return -1;
    }
    bound = true;
    bound_index = can->can_ifindex;
    return 0;
}

ssize_t recvfrom(int fd, void *buffer, size_t length, int flags, sockaddr *from,
                 socklen_t *from_length)
{
    if (fd != tap.fd || fd < 0)
        return real<ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *)>("recvfrom")(
            fd, buffer, length, flags, from, from_length);
    if (tap.copies.empty()) {
        if (!(flags & MSG_DONTWAIT))
            die("a packet socket's receive that would wait for ever");
        errno = EAGAIN;
        return -1;
    }
    const auto [ifindex, frame] = tap.copies.front();
    tap.copies.pop_front();
    if (from && from_length && *from_length >= sizeof(sockaddr_ll)) {
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_CAN);
        link.sll_ifindex = ifindex;
        link.sll_pkttype = PACKET_OUTGOING;
        memcpy(from, &link, sizeof link);
        *from_length = sizeof link;
    }
    const size_t size = std::min(length, sizeof frame);
    memcpy(buffer, &frame, size);
    return static_cast<ssize_t>(size);
}

// As the kernel's PACKET_STATISTICS: the counts since the last read.
int getsockopt(int fd, int level, int name, void *value, socklen_t *length)
{
    if (fd != tap.fd || fd < 0)
        return real<int (*)(int, int, int, void *, socklen_t *)>(TIME64_SYMBOL("getsockopt"))(
            fd, level, name, value, length);
    if (level != SOL_PACKET || name != PACKET_STATISTICS || *length < sizeof(tpacket_stats))
        die("getsockopt on the packet socket with an option the stand-in does not simulate");
    const tpacket_stats stats{tap.drops, tap.drops};
    memcpy(value, &stats, sizeof stats);
    *length = sizeof stats;
    tap.drops = 0;
    return 0;
}

ssize_t recvmsg(int fd, msghdr *message, int flags)
{
    if (fd != can_socket || can_socket < 0)
        return real<ssize_t (*)(int, msghdr *, int)>(
            TIME64_SYMBOL("recvmsg"))(fd, message, flags);
    if (message->msg_iovlen != 1)
        die("recvmsg with other than one buffer");
    if (flags & ~MSG_DONTWAIT)
        die("recvmsg with flags the stand-in does not simulate");
    timespec arrival{};
    int ifindex = 0;
    bool local = false;
    if (!(flags & MSG_DONTWAIT))
        waited_in_receive = timespec{};
    const ssize_t received =
        play_next_receive(message->msg_iov[0].iov_base, message->msg_iov[0].iov_len, arrival,
                          flags & MSG_DONTWAIT, ifindex, local);
    if (message->msg_name && message->msg_namelen >= sizeof(sockaddr_can)) {
        sockaddr_can sender{};
        sender.can_family = AF_CAN;
        sender.can_ifindex = ifindex;
        memcpy(message->msg_name, &sender, sizeof sender);
        message->msg_namelen = sizeof sender;
    }
    // As the kernel does: the stamp when asked for and when it fits.
    const size_t room = message->msg_control ? message->msg_controllen : 0;
    message->msg_controllen = 0;
    message->msg_flags = local && received > 0 ? MSG_DONTROUTE : 0;
    if (received > 0 && stamps_wanted && !unstamped) {
        if (room < CMSG_SPACE(sizeof arrival)) {
            message->msg_flags |= MSG_CTRUNC;
        } else {
            message->msg_controllen = CMSG_SPACE(sizeof arrival);
            cmsghdr *stamp = CMSG_FIRSTHDR(message);
            stamp->cmsg_level = SOL_SOCKET;
            stamp->cmsg_type = SCM_TIMESTAMPNS;
            stamp->cmsg_len = CMSG_LEN(sizeof arrival);
            memcpy(CMSG_DATA(stamp), &arrival, sizeof arrival);
        }
    }
    return received;
}

int clock_gettime(clockid_t clock, timespec *now)
{
    if (clock == CLOCK_BOOTTIME || clock == CLOCK_MONOTONIC) {
        *now = clock == CLOCK_BOOTTIME ? simulated_boottime : simulated_monotonic;
        return 0;
    }
    if (clock != CLOCK_REALTIME)
        return real<int (*)(clockid_t, timespec *)>(
            TIME64_SYMBOL("clock_gettime"))(clock, now);
    *now = simulated_now;
    return 0;
}

int fflush(FILE *stream)
{
    const int flushed = real<int (*)(FILE *)>("fflush")(stream);
    if (stream == stdout) {
        advance(simulated_now, hold);
        advance(simulated_boottime, hold);
        advance(simulated_monotonic, hold);
        hold = timespec{};
        if (hold_steps)
            foreign_step(hold_step);
        hold_steps = false;
    }
    return flushed;
}

int clock_settime(clockid_t clock, const timespec *time)
{
    // Whatever the clock, the real one is never touched from here.
    ++settime_count;
    if (clock != CLOCK_REALTIME) {
        errno = EINVAL;
        return -1;
    }
    if (settime_errno != 0) {
        errno = settime_errno;
        return -1;
    }
    if (!settable(*time)) {
        errno = EINVAL;
        return -1;
    }
    simulated_now = *time;
    clear_ntp_state();
    if (can_socket >= 0)
        trace("clock set to %lld.%09ld", static_cast<long long>(time->tv_sec), time->tv_nsec);
    return 0;
}

int clock_adjtime(clockid_t clock, timex *request)
{
    if (clock != CLOCK_REALTIME) {
        errno = EINVAL;
        return -1;
    }
    if (request->modes != 0) {
        // Counted like a set: refused or not, it was asked for.
        ++adjtime_count;
        if (settime_errno != 0) {
            errno = settime_errno;
            return -1;
        }
        const unsigned modes = request->modes;
        if (modes & ~(ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR | ADJ_SETOFFSET |
                      ADJ_NANO))
            die("clock_adjtime with modes the stand-in does not simulate");
        if (modes & ADJ_SETOFFSET) {
            // As the kernel reads it: the fraction in nanoseconds only with
            // ADJ_NANO, whatever the status says.
            const long long scale = modes & ADJ_NANO ? 1 : 1000;
            if (request->time.tv_usec < 0 || request->time.tv_usec * scale >= 1000000000)
                die("clock_adjtime step with a fraction out of range");
            timespec stepped = simulated_now;
            advance(stepped, timespec{0, static_cast<long>(request->time.tv_usec * scale)});
            if (__builtin_add_overflow(stepped.tv_sec, request->time.tv_sec, &stepped.tv_sec) ||
                !settable(stepped)) {
                errno = EINVAL;
                return -1;
            }
            simulated_now = stepped;
            // The step comes first and clears the state; the rest of the
            // same call is then written over it.
            clear_ntp_state();
        }
        // Bits that only the kernel sets keep their value.
        constexpr int read_only = STA_PPSSIGNAL | STA_PPSJITTER | STA_PPSWANDER |
                                  STA_PPSERROR | STA_CLOCKERR | STA_NANO |
                                  STA_MODE | STA_CLK;
        if (modes & ADJ_STATUS)
            ntp_state.status =
                (ntp_state.status & read_only) | (request->status & ~read_only);
        if (modes & ADJ_MAXERROR)
            ntp_state.maxerror = request->maxerror;
        if (modes & ADJ_ESTERROR)
            ntp_state.esterror = request->esterror;
        ntp_state.modes = modes;
        if (can_socket >= 0 && tracing)
            print_clock("");
        if (races && (modes & ADJ_SETOFFSET) && !(modes & ADJ_STATUS)) {
            races = false;
            foreign_step(race_step);
        }
    }
    const unsigned modes = ntp_state.modes;
    *request = ntp_state;
    request->modes = modes;
    return ntp_state.status & STA_UNSYNC ? TIME_ERROR : TIME_OK;
}

time_t mktime(tm *calendar)
{
    if (mktime_fails)
        return static_cast<time_t>(-1);
    return real<time_t (*)(tm *)>(TIME64_SYMBOL("mktime"))(calendar);
}

// The configuration lives under /etc; PGNCLOCK_FAKEBUS_ETC stands in for it,
// so the default path can be tested without writing there.
static const char *redirect_etc(const char *path, std::string &storage)
{
    const char *etc = getenv("PGNCLOCK_FAKEBUS_ETC");
    if (!etc || strncmp(path, "/etc/", 5) != 0)
        return path;
    storage = std::string(etc) + (path + 4);
    return storage.c_str();
}

FILE *fakebus_fopen(const char *path, const char *mode) __asm__("fopen");
FILE *fakebus_fopen(const char *path, const char *mode)
{
    std::string storage;
    return real<FILE *(*)(const char *, const char *)>("fopen")(
        redirect_etc(path, storage), mode);
}

FILE *fakebus_fopen64(const char *path, const char *mode) __asm__("fopen64");
FILE *fakebus_fopen64(const char *path, const char *mode)
{
    std::string storage;
    return real<FILE *(*)(const char *, const char *)>("fopen64")(
        redirect_etc(path, storage), mode);
}

}  // extern "C"
