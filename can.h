// The CAN side of the daemon: the raw socket that hears the time/date frames
// (its filter, stamps, receive timeout, waiting for its interface), the table
// of links that the kernel's link notifications keep, and the tap that sees
// the frames this host transmits. main.cpp runs the loop over it;
// pgnclock.cpp judges the frames; report.cpp names links through it.
#pragma once

#include <linux/can.h>
#include <linux/filter.h>
#include <sys/socket.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// A link as the kernel last described it. Kept after the link is gone,
// until another link takes its index, so that a frame queued before it went
// can still be judged.
struct can_link {
    int index = 0;
    std::string name;
    std::vector<std::string> altnames;
    std::string kind;  // rtnetlink's link kind: "can" (a controller), "vcan", "vxcan"
    unsigned flags = 0;  // IFF_UP, IFF_ECHO, ...
    bool present = false;
};

// Dumps the links and from then on keeps the table by their notifications,
// which a SIGIO announces (so that a receive that waits returns EINTR and the
// loop applies them). False, said once, when rtnetlink is refused: links
// are then looked up by name alone.
bool links_start();
// Applies what SIGIO announced: link notifications, and the copies that the
// tap took; no system call when nothing came.
void take_notice();
// Waits for the next link notification (a second without the table), and
// applies it.
void links_wait();
// The link of this index, or null when none was ever seen there.
const can_link *link_by_index(int index);
// The index of the present link that answers to name, primary or
// alternative; 0 when none does.
int link_index_of(const std::string &name);

// Opens the tap that sees this host's outgoing time/date frames (with
// CAP_NET_RAW, needed for it alone; not where local_frames accepts every
// frame), then drops CAP_NET_RAW for good. Without it, says so: a frame is
// then known as this device's only by the kernel's mark.
void tap_open(const can_filter &filter);
// Narrows the tap to the one interface heard (0: every one).
void tap_listen_on(int index);
// Whether this host transmitted this frame on the link of this index (link:
// what the table knows of it, or null), as the tap saw it go out: its copy is taken, so that each
// copy answers one frame. Also true for a while after the tap lost copies.
// False without a tap, and on links whose loopback the kernel always marks.
bool tap_saw_sent(int index, const can_link *link, const can_frame &frame);
// Whether a time/date frame received on the link of this index counts, as
// local_frames says: not one that this device sent (marked by the kernel, or
// seen going out by the tap) on a controller, nor any from a vxcan unless
// every local frame counts. The first refusal is named.
bool counts_as_from_bus(int index, const can_frame &frame, bool marked);
// The tap's classic BPF program: it passes an outgoing classic CAN frame
// whose identifier the raw socket's filter passes, and nothing else.
// With an index, only that interface's frames; never those of the links
// skipped.
std::vector<sock_filter> tap_filter_program(const can_filter &filter, int index = 0,
                                            const std::vector<int> &skipped = {});

// The raw socket on the interface named: every interface for "any" while no
// link is called so; otherwise the named one, waited for while it is absent.
// The socket's failures end the daemon as socket() and bind() do.
// bound receives the index bound to (0: every interface).
int open_interface(const std::string &name, const can_filter &filter, int &bound);
// Closes the socket of an interface that went away (or is no longer called
// so) and returns one on it when it is back, under whatever index.
int reopen_when_back(int sock, const can_filter &filter, int &bound);
// How long a receive may wait, in ms (0: for ever, in days); said once if
// refused.
void set_receive_timeout(int sock, int64_t ms);
// Drops whatever waits in the socket's queue but for the frames that heard
// takes (given with the index of their interface, and whether this device
// sent them), calling went_down when the kernel says the interface went
// down; false when it went away.
bool drop_queued_frames(int sock, bool (*heard)(const can_frame &, int, bool),
                        void (*went_down)());
// The kernel's arrival stamp of a received frame, if it gave one.
bool arrival_time(msghdr &message, timespec &arrival);
