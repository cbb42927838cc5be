// Control of the test stand-in for the CAN socket and the real-time clock.
#pragma once

#include <linux/can.h>
#include <linux/filter.h>
#include <sys/timex.h>

#include <cstddef>
#include <cstdint>

#include <ctime>

extern "C" {
// What CLOCK_REALTIME reads until the next accepted set or step.
void fakebus_set_now(const timespec *now);
timespec fakebus_now(void);
// The next flush of standard output takes this long, as when its pipe is
// full and the reader stopped: the clocks move on by as much.
void fakebus_hold(const timespec *hold);
// Time passes: every clock moves on by span.
void fakebus_wait(const timespec *span);
// Makes every later clock set fail with this errno; 0 accepts them again.
void fakebus_refuse_settime(int error);
// Makes mktime fail, as it does for years past 2038 with a 32-bit time_t.
void fakebus_fail_mktime(int fail);
// Clock sets (clock_settime) attempted since the last reset.
unsigned fakebus_settime_count(void);
// Writes to the kernel's synchronisation state or steps of the clock
// (clock_adjtime) since the last reset, and that state now: unsynchronised
// after a reset, a clock set or a step; modes holds the last write's.
unsigned fakebus_adjtime_count(void);
timex fakebus_ntp_state(void);
// The state's status bits as another discipline (an NTP daemon) left them.
void fakebus_set_ntp_status(int status);
// The state as a mark left it: synchronised, with this maximum and estimated
// error.
void fakebus_set_synchronised(long error_us);
void fakebus_reset(void);
// The frames sent through the J1939 socket since the start, and each one's
// CLOCK_MONOTONIC time.
size_t fakebus_sent_count(void);
can_frame fakebus_sent_frame(size_t i, timespec *at);
// Whether the kernel passes a frame with this identifier through the filter.
int fakebus_filter_passes(const can_filter *filter, uint32_t can_id);
// Whether a packet socket with this classic BPF program keeps a packet that
// holds frame: its type (PACKET_OUTGOING, ...), protocol, length and the
// index of its interface.
int fakebus_tap_passes(const sock_filter *program, size_t length, const can_frame *frame,
                       uint32_t pkttype, uint32_t protocol, uint32_t frame_length, int ifindex);
}
