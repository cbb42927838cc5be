// The kernel's clock as the daemon uses it (clock.cpp): the offset that tells
// a step, the step to the bus time, and the synchronisation mark.
#pragma once

#include <cstdint>
#include <ctime>

// The real-time clock less the boot-time one, in nanoseconds: it changes
// only when something steps the clock (this daemon or another process), not
// with a suspend. wall, if given, receives the real-time reading.
int64_t clock_offset_ns(timespec *wall = nullptr);

// Whether the clock has been stepped by a millisecond or more since its
// offset was expected (clock_offset_ns), by anything.
bool clock_stepped_since(int64_t expected_offset_ns);

// The kernel's bound on how fast an undisciplined clock drifts (MAXFREQ,
// 500 ppm), by which it also grows the error of a mark.
constexpr int64_t drift_per_us = 2000;

// a - b in nanoseconds; INT64_MIN for a span no clock holds.
int64_t span_ns(const timespec &a, const timespec &b);
// Microseconds on the boot-time clock since since: a suspend counts too.
int64_t elapsed_us(const timespec &since);
// Whether something else stepped the clock since this daemon found its
// offset, named when it did.
bool stepped_meanwhile(int64_t offset);
// Moves the clock by the received time less the arrival; like
// clock_adjtime, -1 (errno) when refused.
int step_to_bus_time(const timespec &received, const timespec &arrival);
// Tells the kernel how far off the clock may be: the difference found plus
// the bus's resolution and the uncertainty; true when the clock stands
// marked, by this daemon or another discipline.
bool mark_synchronised(uint64_t difference_ms, int64_t uncertainty_us);

// Clears STA_PLL and STA_FLL in the kernel's synchronisation state, which a
// time daemon leaves set when it stops (systemd-timesyncd after its last
// slew): for pgnclock-clear-discipline, run before the daemon where no other
// time daemon runs. The flags cleared, 0 for none, or -1 (errno).
int clear_discipline();
