// The kernel's clock as the daemon uses it (clock.cpp): the offset that tells
// a step, the step to the bus time, and the synchronisation mark.
#pragma once

#include <cstdint>
#include <ctime>

// The real-time clock less the boot-time one, in nanoseconds: it changes
// only when something steps the clock (this daemon or another process), not
// with a suspend. Read carefully, against pre-emption; wall, if given,
// receives the real-time reading.
int64_t clock_offset_ns(timespec *wall = nullptr);

// The kernel's bound on how fast an undisciplined clock drifts (MAXFREQ,
// 500 ppm), by which it also grows the error of a mark.
constexpr int64_t drift_per_us = 2000;

// a - b in nanoseconds; INT64_MIN for a span no clock holds.
int64_t span_ns(const timespec &a, const timespec &b);

// Steps are told by the clock's offset (a millisecond or more) against where
// it was last seen. clock_watch_start sees it where it stands, and forgets
// every step before.
void clock_watch_start();
// Whether something stepped the clock since it was last seen, by the real-time
// reading now and the boot-time one read_at right after it (a frame's
// readings); then the clock is seen where it stands, and counts as stepped.
bool clock_stepped_before(const timespec &now, const timespec &read_at);
// That step is taken as the clock's new standing: the frames queued before
// it are not dropped for it.
void clock_take_step_as_standing();
// Whether a frame stamped at arrival was stamped in the second before the
// clock was last stepped, on the clock as it then became.
bool stamped_before_last_step(const timespec &arrival);
// This daemon stepped the clock by step_ns.
void clock_stepped_by(int64_t step_ns);
// For the loop, after each frame: whether the clock was stepped since it
// last asked, by anything, so that what is queued is dropped. After a frame
// that read no clock, it reads them: a step then seen is one between frames,
// taken as the clock's new standing where standing_between_frames says so.
bool clock_take_stepped(bool standing_between_frames);
// Whether something stepped the clock since a frame's readings (read_at: its
// boot-time one), said when it did.
bool stepped_meanwhile(const timespec &read_at);

// Moves the clock by the received time less the arrival; like
// clock_adjtime, -1 (errno) when refused.
int step_to_bus_time(const timespec &received, const timespec &arrival);
// Tells the kernel how far off the clock may be: the difference found plus
// the bus's resolution, the time the frame waited and what the clock may
// have drifted since its boot-time reading read_at. Unless something stepped
// the clock since that reading (said when it did). Marked: by this daemon or
// by another discipline.
enum class mark_outcome { marked, unmarked, stepped_meanwhile };
mark_outcome mark_synchronised(uint64_t difference_ms, int64_t waited_us,
                               const timespec &read_at);

// Clears STA_PLL and STA_FLL in the kernel's synchronisation state, which a
// time daemon leaves set when it stops (systemd-timesyncd after its last
// slew): for pgnclock-clear-discipline, run before the daemon where no other
// time daemon runs. The flags cleared, 0 for none, or -1 (errno).
int clear_discipline();
