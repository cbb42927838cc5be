// The bus script: its language (below), its parser, and its player, which
// runs the script as the daemon receives and hands each command to the file
// of what it changes (clock.cpp, can.cpp, links.cpp, tap.cpp, chrony.cpp);
// and the trace the script may ask for. fakebus-internal.h maps the files.
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
//                            controller restarted before it went out).
//                            "looped": a frame this device sent through
//                            its J1939 socket, looped back. "error": the
//                            controller's error frame of the error classes
//                            in ID, taken by the error mask alone
//                            (CAN_RAW_ERR_FILTER). A
//                            frame right after a link event came with it:
//                            the receive returns the frame, not EINTR
//   tap-loses                the packet taps lose the next copy, as a full
//                            queue does (PACKET_STATISTICS counts it)
//   no-packet-socket         a packet socket is refused (EPERM), as without
//                            CAP_NET_RAW
//   no-netlink               rtnetlink sockets are refused (EPERM)
//   no-j1939                 a J1939 socket is refused (EPROTONOSUPPORT), as
//                            without the kernel's can-j1939 module
//   down IFACE | up IFACE    the interface goes down (no frame passes, the
//                            J1939 claims on it are forgotten, a raw socket
//                            bound to it fails its next receive with
//                            ENETDOWN, once, and sends fail so too) | up
//                            again; either is told to link watchers
//   no-ack | ack | bus-off   nothing on the bus acknowledges a frame: what
//                            the J1939 socket sends waits in the controller,
//                            its echo (and the kernel's take of a claim) to
//                            come | the waiting frames go out, in order |
//                            the controller restarts and drops them, and
//                            says so with an error frame (CAN_ERR_RESTARTED)
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
//   burst                    the link events from here to the next frame
//                            come at once, with that frame: no receive ends
//                            between them, and the daemon hears of them only
//                            once it has the frame
//   preempt SECONDS[.FRACTION]
//                            from the daemon's next flush of standard output
//                            on, its next read of the real-time clock (or
//                            clock_adjtime's reading of it) is followed by
//                            this much time passing, as when it is
//                            pre-empted or stopped there
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
// status 0. Each frame sent through a J1939 socket (PF_CAN, CAN_J1939) is
// shown as "fakebus: sent ID#DATA on IFACE at SECONDS s" (on the
// monotonic clock, from the start) whatever the trace, and comes
// back to the raw socket as the next frame, "looped"; the kernel's checks
// apply (SO_BROADCAST to send to all, a claim's NAME, an address used 250
// ms after its claim's echo and lost to a lower NAME's). Frames that the J1939
// socket would have queued for a reader are counted on a last line.
#include "fakebus-internal.h"

#include <linux/rtnetlink.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace fakebus {

Script script;

void trace(const char *format, ...)
{
    if (!script.tracing)
        return;
    va_list arguments;
    va_start(arguments, format);
    fputs("fakebus: ", stderr);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
}

void die(const std::string &why)
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
            links.interfaces.push_back(added);
        } else if (line == "bind-error")
            can_socket.bind_fails = true;
        else if (line == "socket-error")
            can_socket.socket_fails = true;
        else if (line == "filter-error")
            can_socket.filter_fails = true;
        else if (line == "trace")
            script.tracing = true;
        else if (line == "no-packet-socket")
            tap.refused = true;
        else if (line == "no-netlink")
            links.netlink_refused = true;
        else if (line == "no-j1939")
            j1939.refused = true;
        else if (command == "repeat") {
            int times = 0;
            std::string rest;
            words >> times;
            std::getline(words >> std::ws, rest);
            if (times <= 0 || rest.empty())
                die("bad repeat: " + line);
            script.lines.insert(script.lines.end(), static_cast<size_t>(times), rest);
        } else
            script.lines.push_back(line);
    }
}

namespace {

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

// The commands that change the world rather than hand a receive something.
bool run_command(const std::string &command, std::istringstream &words)
{
    std::string argument;
    if (command == "now" && words >> argument) {
        set_clock_keeping_offset(parse_time(argument));
    } else if (command == "step" && words >> argument) {
        foreign_step(parse_time(argument));
    } else if (command == "refuse") {
        clocks.settime_errno = EPERM;
    } else if (command == "accept") {
        clocks.settime_errno = 0;
    } else if (command == "stall" && words >> argument) {
        can_socket.stall = parse_time(argument);
    } else if (command == "burst") {
        script.burst = true;
    } else if (command == "preempt" && words >> argument) {
        clocks.preempt_by = parse_time(argument);
        clocks.preempt_pending = true;
    } else if (command == "race" && words >> argument) {
        clocks.race_step = parse_time(argument);
        clocks.races = true;
    } else if (command == "hold" && words >> argument) {
        clocks.hold = parse_time(argument);
        clocks.hold_steps = static_cast<bool>(words >> argument);
        if (clocks.hold_steps)
            clocks.hold_step = parse_time(argument);
    } else if (command == "listen" && words >> argument) {
        listen_at(argument);
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
        clocks.ntp_state.status = status;
    } else if (command == "unlisten") {
        stop_listening();
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
    } else if (command == "down" || command == "up") {
        std::string name;
        words >> name;
        Interface *link = find_interface(name);
        if (!link || !link->present)
            die("no such interface: " + name);
        set_link_down(*link, command == "down");
    } else if (command == "no-ack" || command == "ack" || command == "bus-off") {
        set_acknowledged(command != "no-ack", command == "bus-off");
    } else if (command == "tap-loses") {
        tap.loses_next = true;
    } else if (command == "unplug" || command == "plug") {
        std::string name;
        words >> name;
        Interface *link = find_interface(name);
        if (!link && command == "plug") {
            links.interfaces.push_back(Interface{name, 0, "", false, {}});
            link = &links.interfaces.back();
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
        if (!link->present && can_socket.bound && can_socket.bound_index == link->index) {
            can_socket.bound = false;
            can_socket.enodev_pending = true;
        }
        tell_link_watchers(link->present ? RTM_NEWLINK : RTM_DELLINK, link);
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool pass_time(timespec span, bool receiving)
{
    const auto ns = [](const timespec &t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
    const int64_t timeout = ns(can_socket.receive_timeout);
    if (receiving && timeout > 0 && ns(can_socket.waited_in_receive) + ns(span) >= timeout) {
        const int64_t until = timeout - ns(can_socket.waited_in_receive);
        const timespec passed{static_cast<time_t>(until / 1000000000), static_cast<long>(until % 1000000000)};
        const int64_t rest = ns(span) - until;
        script.lines[--script.next_line] = "wait " + std::to_string(rest / 1000000000) + "." +
                                           std::to_string(1000000000 + rest % 1000000000).substr(1);
        span = passed;
    }
    advance(clocks.realtime, span);
    advance(clocks.boottime, span);
    advance(clocks.monotonic, span);
    advance(can_socket.waited_in_receive, span);
    return !(receiving && timeout > 0 && ns(can_socket.waited_in_receive) >= timeout);
}

namespace {

// Whether SIGIO ends the CAN receive under way, as it ends one with a
// timeout: not one that does not wait, nor a link watcher's, nor one whose
// frame came with the signal (the next line, or the end of a burst): the
// receive returns that.
bool interrupted(bool nonblocking)
{
    const bool frame_next = script.next_line < script.lines.size() &&
                            script.lines[script.next_line].compare(0, 6, "frame ") == 0;
    if (script.burst)
        return false;
    return std::exchange(sigio.raised, false) && !nonblocking && links.waiting_watcher < 0 &&
           !frame_next;
}

}  // namespace

ssize_t play_next_receive(void *buffer, size_t length, timespec &arrival, bool nonblocking,
                          int &ifindex, bool &local)
{
    // A receive that does not wait finds the queue empty at the script's
    // end; the script ends where the daemon would wait.
    while (script.next_line < script.lines.size() || nonblocking) {
        if (can_socket.enodev_pending) {
            can_socket.enodev_pending = false;
            errno = ENODEV;
            return -1;
        }
        if (can_socket.enetdown_pending) {
            can_socket.enetdown_pending = false;
            errno = ENETDOWN;
            return -1;
        }
        if (script.next_line == script.lines.size()) {
            errno = EAGAIN;
            return -1;
        }
        // Only a queued frame is there already, held off or not; an
        // interface may come or go meanwhile.
        if (nonblocking) {
            const std::string &line = script.lines[script.next_line];
            if (line.compare(0, 7, "unplug ") == 0 || line.compare(0, 5, "plug ") == 0 ||
                line.compare(0, 5, "down ") == 0 || line.compare(0, 3, "up ") == 0 ||
                line.compare(0, 7, "rename ") == 0 || line.compare(0, 8, "altname ") == 0) {
                std::istringstream words(script.lines[script.next_line++]);
                std::string command;
                words >> command;
                run_command(command, words);
                // A signal does not cut short a receive that does not wait.
                sigio.raised = false;
                continue;
            }
            size_t next = script.next_line;
            while (next < script.lines.size() && script.lines[next].compare(0, 6, "stall ") == 0)
                ++next;
            if (next == script.lines.size() || script.lines[next].compare(0, 7, "queued ") != 0) {
                errno = EAGAIN;
                return -1;
            }
        }
        std::istringstream words(script.lines[script.next_line++]);
        std::string command, argument;
        words >> command;
        if (run_command(command, words)) {
            // A link watcher's wait ends with the event it waits for.
            if (links.waiting_watcher >= 0 &&
                std::any_of(links.messages.begin(), links.messages.end(),
                            [](const auto &m) { return m.first == links.waiting_watcher; }))
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
            // The burst's signals came with this frame.
            if (std::exchange(script.burst, false))
                sigio.raised = false;
            words >> argument;
            can_frame frame = parse_frame(argument);
            ifindex = can_socket.bound_index;
            local = false;
            bool absent = false;
            bool sent = false;
            bool unechoed = false;
            bool looped = false;
            can_socket.unstamped = false;
            timespec ago{};
            for (std::string word; words >> word;) {
                if (word == "local") {
                    local = true;
                } else if (word == "looped") {
                    local = looped = true;
                } else if (word == "sent") {
                    sent = true;
                } else if (word == "unechoed") {
                    unechoed = true;
                } else if (word == "error") {
                    frame.can_id = CAN_ERR_FLAG | (frame.can_id & CAN_ERR_MASK);
                } else if (word == "unstamped") {
                    can_socket.unstamped = true;
                } else if (word.compare(0, 4, "ago=") == 0) {
                    ago = parse_time(word.substr(4));
                } else if (const Interface *link = find_interface(word)) {
                    ifindex = link->index;
                    absent = !link->present || link->down;
                } else {
                    die("no such interface: " + word);
                }
            }
            if ((local || sent) && !absent)
                tap_copy(ifindex, frame);
            if (!absent)
                j1939_heard(frame, ifindex, looped);
            if (!can_socket.bound || absent || unechoed ||
                (can_socket.bound_index != 0 && ifindex != can_socket.bound_index)) {
                if (interrupted(nonblocking)) {
                    errno = EINTR;
                    return -1;
                }
                continue;
            }
            // As raw_rcv(): an error frame by the error mask alone.
            bool passes = (frame.can_id & CAN_ERR_FLAG) &&
                          (frame.can_id & can_socket.error_mask & CAN_ERR_MASK);
            for (const can_filter &filter : can_socket.filters)
                passes = passes || fakebus_filter_passes(&filter, frame.can_id);
            if (!passes) {
                ++can_socket.frames_filtered;
                continue;
            }
            const size_t size = std::min(length, sizeof frame);
            memcpy(buffer, &frame, size);
            if (command == "queued") {
                arrival = can_socket.last_arrival;
                advance(clocks.realtime, can_socket.stall);
                advance(clocks.boottime, can_socket.stall);
                advance(clocks.monotonic, can_socket.stall);
                can_socket.stall = timespec{};
                return size;
            }
            arrival = can_socket.last_arrival = clocks.realtime;
            const timespec back = parse_time("-" + std::to_string(ago.tv_sec) + "." +
                                             std::to_string(1000000000 + ago.tv_nsec).substr(1));
            advance(arrival, back);
            advance(clocks.realtime, can_socket.stall);
            advance(clocks.boottime, can_socket.stall);
            advance(clocks.monotonic, can_socket.stall);
            can_socket.stall = timespec{};
            return size;
        } else if (command == "wait" && words >> argument) {
            if (!pass_time(parse_time(argument), can_socket.bound)) {
                errno = EAGAIN;
                return -1;
            }
        } else {
            die("unknown command: " + command);
        }
    }
    if (can_socket.frames_filtered != 0)
        trace("%u frames dropped by the receive filter", can_socket.frames_filtered);
    // A socket that is never read must take nothing in.
    if (j1939.unread != 0)
        fprintf(stderr, "fakebus: %u frames wait unread in the J1939 socket\n", j1939.unread);
    print_clock("end of bus script; ");
    exit(0);
}

void play_until_link_event(int watcher)
{
    int ifindex = 0;
    bool local = false;
    timespec arrival{};
    can_frame frame;
    const bool was_bound = can_socket.bound;
    can_socket.bound = false;
    links.waiting_watcher = watcher;
    while (std::none_of(links.messages.begin(), links.messages.end(),
                        [&](const auto &m) { return m.first == watcher; })) {
        can_socket.enodev_pending = false;
        play_next_receive(&frame, sizeof frame, arrival, false, ifindex, local);
    }
    links.waiting_watcher = -1;
    can_socket.bound = was_bound;
}

}  // namespace fakebus
