// The kernel's clock as the daemon uses it: where the real-time clock stands
// against the boot-time one (to tell another process's step), the step to the
// bus time, and the synchronisation mark. pgnclock.cpp decides when; the
// stand-in tests/fakebus/ plays the kernel's part in the tests.
#include "clock.h"

#include "pgnclock.h"

#include <err.h>
#include <sys/timex.h>

#include <cerrno>
#include <climits>

// The payload counts quarter seconds, but the daemon sets whole ones: a
// clock in step with the bus is therefore up to a second off. The kernel
// takes an error of 16 s (NTP_PHASE_LIMIT) or more for no synchronisation at
// all, so no mark may reach it.
static constexpr long resolution_us = 1000000;
static constexpr long phase_limit_us = 16000000;

// One write of the kernel's synchronisation state, with a step of the
// clock by step_us microseconds (0: none); like clock_adjtime, -1 when it is
// refused and the clock's state otherwise. Without ADJ_NANO in the modes the
// step's fraction counts in microseconds; STA_NANO is read-only in the status.
static int write_state(int status, long error_us, long step_us)
{
    timex mark{};
    mark.modes = ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR;
    mark.status = status & ~STA_NANO;
    mark.maxerror = error_us;
    mark.esterror = error_us;
    if (step_us != 0) {
        mark.modes |= ADJ_SETOFFSET;
        // Negative offsets have a non-negative fraction: -1 us is -1 s + 999999 us.
        mark.time.tv_sec = step_us < 0 ? -1 : 0;
        mark.time.tv_usec = step_us < 0 ? 1000000 + step_us : step_us;
    }
    return clock_adjtime(CLOCK_REALTIME, &mark);
}

namespace {

// Where the clock stood when last seen, and what the loop must know of its
// steps.
struct ClockWatch {
    // The real-time clock less the boot-time one (clock_offset_ns).
    int64_t offset_ns = INT64_MIN;
    // The first moment stamped on the clock as this daemon last stepped it:
    // a frame stamped in the second before it (one the kernel had stamped but
    // not yet queued when the rest were dropped) waited on a clock since
    // stepped. One stamped earlier is more than a second old.
    timespec stamped_from{};
    // Stepped since the loop last asked: what is queued waited on the clock
    // as it was. And whether the frame handled read the clocks.
    bool stepped = false;
    bool read = false;
};
ClockWatch watch;

// Whether two offsets lie a millisecond or more apart, or either is unknown.
bool apart(int64_t offset, int64_t expected)
{
    int64_t moved = 0;
    return offset == INT64_MIN || expected == INT64_MIN ||
           __builtin_sub_overflow(offset, expected, &moved) || moved >= 1000000 ||
           moved <= -1000000;
}

// How long after a frame's reading a later one may be taken and still be
// trusted at a glance: a pause between its two reads hides as much of a step
// as it lasts, so a later reading is trusted only when the whole span since
// the frame's is short. A step of 11 ms or more always shows; a smaller one
// is far below what the bus time resolves (250 ms) and the mark allows (1 s).
constexpr int64_t glance_ns = 10000000;

// Whether the clock stands elsewhere than when last seen, by a careful
// reading; then it is seen where it stands now.
bool moved_carefully()
{
    timespec wall{};
    const int64_t offset = clock_offset_ns(&wall);
    if (!apart(offset, watch.offset_ns))
        return false;
    watch.offset_ns = offset;
    watch.stamped_from = wall;
    watch.stepped = true;
    return true;
}

// The same, read as real against boot. Two reads that a pre-emption came
// between look like a step: only a careful reading confirms one, so that in
// steady state two reads do. A reading taken later in a frame than its first
// (since) is trusted at a glance only within glance_ns of it.
bool moved(const timespec &real, const timespec &boot, const timespec *since = nullptr)
{
    const int64_t after_ns = since ? span_ns(boot, *since) : 0;
    const bool glance = after_ns >= 0 && after_ns <= glance_ns;
    if (glance && !apart(span_ns(real, boot), watch.offset_ns))
        return false;
    return moved_carefully();
}

void say_stepped_meanwhile()
{
    warnx("the clock was stepped meanwhile by another process: this frame is not used");
}

}  // namespace

// Tells the kernel how far off the clock may be: the difference a frame
// found plus the bus's resolution, the time the frame waited, and what the
// clock may have drifted while the daemon was held since it read it. The kernel
// then keeps the RTC in step (11-minute mode), lets time-sync.target be
// reached, and drops the mark by itself (maxerror grows by 500 us a second)
// once frames stop. A frame that finds the clock too far off for a mark
// withdraws the one standing, or the kernel would go on writing a wrong
// clock to the RTC and vouching for it.
//
// Those who wait for synchronisation (systemd-time-wait-sync) look again only
// when the clock is stepped, and a step of nothing does not count: so an
// unsynchronised clock is marked with a step of a microsecond forth and one
// back, each with the mark, since a step clears it. The clock ends where it
// was. Failures are left unsaid: a refused clock set has already been
// reported.
//
// While another discipline owns the state (an NTP daemon's PLL or FLL, or a
// PPS source), the mark would clear its unsynchronised flag under it and the
// step would reset its correction: the state is then left to it, and the
// clock counts as marked only while the kernel says it is synchronised. A
// flag that a daemon now gone left (systemd-timesyncd leaves STA_PLL) is
// cleared before the daemon starts, by pgnclock-clear-discipline (the unit's
// ExecStartPre, the init script).
//
// True when the clock stands marked, by this daemon or that discipline.
mark_outcome mark_synchronised(uint64_t difference_ms, int64_t waited_us,
                               const timespec &read_at)
{
    // The state's read gives the clock as it reads then: with the boot-time
    // clock after it, it shows a step since the frame's reading, and how long
    // the daemon was held since, at no call more.
    timex state{};
    if (clock_adjtime(CLOCK_REALTIME, &state) < 0)
        return mark_outcome::unmarked;
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const timespec real{state.time.tv_sec,
                        static_cast<long>(state.status & STA_NANO ? state.time.tv_usec
                                                                  : state.time.tv_usec * 1000)};
    if (moved(real, boot, &read_at)) {
        say_stepped_meanwhile();
        return mark_outcome::stepped_meanwhile;
    }
    // How long the daemon was held since the frame's reading; unknown, no
    // mark.
    const int64_t held_ns = span_ns(boot, read_at);
    const int64_t uncertainty_us =
        held_ns < 0 ? phase_limit_us : waited_us + held_ns / 1000 / drift_per_us;
    // Bounded first: on a 32-bit long a large difference overflows.
    long error_us = phase_limit_us;
    if (difference_ms < (phase_limit_us - resolution_us) / 1000 &&
        uncertainty_us < phase_limit_us)
        error_us = static_cast<long>(difference_ms * 1000 + resolution_us + uncertainty_us);
    if (state.status & (STA_PLL | STA_FLL | STA_PPSTIME))
        return state.status & STA_UNSYNC ? mark_outcome::unmarked : mark_outcome::marked;
    if (error_us >= phase_limit_us) {
        if ((state.status & STA_UNSYNC) == 0)
            write_state(state.status | STA_UNSYNC, phase_limit_us, 0);
        return mark_outcome::unmarked;
    }
    const int synchronised = state.status & ~STA_UNSYNC;
    bool marked = false;
    if (!(state.status & STA_UNSYNC))
        marked = write_state(synchronised, error_us, 0) >= 0;
    else
        marked = write_state(synchronised, error_us, 1) >= 0 &&
                 write_state(synchronised, error_us, -1) >= 0;
    return marked ? mark_outcome::marked : mark_outcome::unmarked;
}

int clear_discipline()
{
    timex state{};
    if (clock_adjtime(CLOCK_REALTIME, &state) < 0)
        return -1;
    const int left = state.status & (STA_PLL | STA_FLL);
    if (left == 0)
        return 0;
    // The status alone: the frequency the daemon learnt stays, and so does
    // STA_UNSYNC, which says whether the clock is still vouched for.
    timex cleared{};
    cleared.modes = ADJ_STATUS;
    cleared.status = state.status & ~(STA_PLL | STA_FLL | STA_NANO);
    return clock_adjtime(CLOCK_REALTIME, &cleared) < 0 ? -1 : left;
}

// Moves the clock by the received time less the arrival: wherever it then
// reads, it reads the bus time plus the time since the frame arrived, however
// long the daemon was held before this call. The kernel applies the offset
// at once, which a time read earlier and set later cannot do.
int step_to_bus_time(const timespec &received, const timespec &arrival)
{
    timex step{};
    step.modes = ADJ_SETOFFSET | ADJ_NANO;
    // The fraction must be non-negative: -0.25 s is -1 s + 750000000 ns.
    int64_t seconds = 0;
    if (__builtin_sub_overflow(int64_t{received.tv_sec}, int64_t{arrival.tv_sec}, &seconds) ||
        __builtin_sub_overflow(seconds, int64_t{1}, &seconds)) {
        errno = EOVERFLOW;
        return -1;
    }
    step.time.tv_sec = seconds;
    step.time.tv_usec = 1000000000 - arrival.tv_nsec;
    if (step.time.tv_usec == 1000000000) {
        step.time.tv_usec = 0;
        ++step.time.tv_sec;
    }
    return clock_adjtime(CLOCK_REALTIME, &step);
}


// a - b in nanoseconds; INT64_MIN for a span no clock holds.
int64_t span_ns(const timespec &a, const timespec &b)
{
    int64_t ns = 0;
    if (__builtin_sub_overflow(int64_t{a.tv_sec}, int64_t{b.tv_sec}, &ns) ||
        __builtin_mul_overflow(ns, int64_t{1000000000}, &ns) ||
        __builtin_add_overflow(ns, int64_t{a.tv_nsec} - b.tv_nsec, &ns) || ns == INT64_MIN)
        return INT64_MIN;
    return ns;
}

int64_t clock_offset_ns(timespec *wall)
{
    // The real-time clock read between two readings of the boot-time one,
    // against their middle: a pre-emption between two reads would otherwise
    // pass for a step. Read again while they lie more than 100 us apart.
    timespec before{}, real{}, after{};
    for (int tries = 0; tries < 8; ++tries) {
        clock_gettime(CLOCK_BOOTTIME, &before);
        clock_gettime(CLOCK_REALTIME, &real);
        clock_gettime(CLOCK_BOOTTIME, &after);
        if (span_ns(after, before) <= 100000)
            break;
    }
    if (wall)
        *wall = real;
    const int64_t offset = span_ns(real, before);
    const int64_t read_for = span_ns(after, before);
    return offset == INT64_MIN || read_for == INT64_MIN ? INT64_MIN : offset - read_for / 2;
}

void clock_watch_start()
{
    watch = ClockWatch{};
    watch.offset_ns = clock_offset_ns();
}

bool clock_stepped_before(const timespec &now, const timespec &read_at)
{
    watch.read = true;
    return moved(now, read_at);
}

void clock_take_step_as_standing()
{
    watch.stamped_from = timespec{};
    watch.stepped = false;
}

bool stamped_before_last_step(const timespec &arrival)
{
    const int64_t before_ns = span_ns(watch.stamped_from, arrival);
    return before_ns > 0 && before_ns <= 1000000000;
}

void clock_stepped_by(int64_t step_ns)
{
    if (watch.offset_ns == INT64_MIN || step_ns == INT64_MIN ||
        __builtin_add_overflow(watch.offset_ns, step_ns, &watch.offset_ns))
        watch.offset_ns = INT64_MIN;
    clock_gettime(CLOCK_REALTIME, &watch.stamped_from);
    watch.stepped = true;
}

bool clock_take_stepped(bool standing_between_frames)
{
    // A frame refused before its time was compared read no clock: a step
    // since the last frame's reading shows here, as one between frames.
    if (!watch.read && moved_carefully() && standing_between_frames)
        clock_take_step_as_standing();
    watch.read = false;
    const bool stepped = watch.stepped;
    watch.stepped = false;
    return stepped;
}

bool stepped_meanwhile(const timespec &read_at)
{
    timespec real{}, boot{};
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_BOOTTIME, &boot);
    if (!moved(real, boot, &read_at))
        return false;
    say_stepped_meanwhile();
    return true;
}
