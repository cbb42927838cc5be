// The simulated clocks (real-time, boot-time, monotonic) and the kernel's
// synchronisation state, behind the calls that read and set them and behind
// fakebus.h's clock calls; a flush of standard output held as by a full pipe.
// The bus script (script.cpp) moves them; their writes show in its trace once
// the CAN socket (can.cpp) is open.
#include "fakebus-internal.h"

#include <cerrno>
#include <cstdio>
#include <utility>

namespace fakebus {

Clocks clocks;

namespace {

// What the kernel's ntp_clear() does on every set or step of the clock: the
// clock counts as unsynchronised again and any correction in progress is
// dropped, while the other status bits stay.
void clear_ntp_state()
{
    const int kept = clocks.ntp_state.status;
    clocks.ntp_state = booted_ntp_state();
    clocks.ntp_state.status |= kept;
}

// As the kernel's timespec64_valid_settod: no time before the epoch, and
// none within 30 years of where its 64-bit nanoseconds end (April 2232).
bool settable(const timespec &t)
{
    constexpr int64_t settod_max = 9223372036 - 30LL * 365 * 86400;
    return t.tv_sec >= 0 && t.tv_sec < settod_max && t.tv_nsec >= 0 &&
           t.tv_nsec < 1000000000;
}

}  // namespace

void print_clock(const char *before)
{
    fprintf(stderr, "fakebus: %sclock %lld.%09ld, %s, maxerror %lld us\n", before,
            static_cast<long long>(clocks.realtime.tv_sec), clocks.realtime.tv_nsec,
            clocks.ntp_state.status & STA_UNSYNC ? "unsynchronised" : "synchronised",
            static_cast<long long>(clocks.ntp_state.maxerror));
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

void set_clock_keeping_offset(const timespec &now)
{
    // Unsigned, so that any clock the fuzzer gives wraps instead of
    // overflowing; the difference between the two clocks stays the same.
    clocks.boottime.tv_sec = static_cast<time_t>(
        static_cast<uint64_t>(clocks.boottime.tv_sec) + static_cast<uint64_t>(now.tv_sec) -
        static_cast<uint64_t>(clocks.realtime.tv_sec));
    clocks.boottime.tv_nsec += now.tv_nsec - clocks.realtime.tv_nsec;
    if (clocks.boottime.tv_nsec < 0) {
        clocks.boottime.tv_nsec += 1000000000;
        clocks.boottime.tv_sec = static_cast<time_t>(
            static_cast<uint64_t>(clocks.boottime.tv_sec) - 1);
    } else if (clocks.boottime.tv_nsec >= 1000000000) {
        clocks.boottime.tv_nsec -= 1000000000;
        clocks.boottime.tv_sec = static_cast<time_t>(
            static_cast<uint64_t>(clocks.boottime.tv_sec) + 1);
    }
    clocks.realtime = now;
}

void foreign_step(const timespec &by)
{
    advance(clocks.realtime, by);
    clear_ntp_state();
    if (can_socket.fd >= 0)
        trace("clock stepped by another process to %lld.%09ld",
              static_cast<long long>(clocks.realtime.tv_sec), clocks.realtime.tv_nsec);
}

}  // namespace fakebus

using namespace fakebus;

extern "C" {

void fakebus_set_now(const timespec *now) { set_clock_keeping_offset(*now); }
timespec fakebus_now(void) { return clocks.realtime; }
void fakebus_hold(const timespec *by) { clocks.hold = *by; }
void fakebus_wait(const timespec *span) { pass_time(*span, false); }
void fakebus_refuse_settime(int error) { clocks.settime_errno = error; }
void fakebus_fail_mktime(int fail) { clocks.mktime_fails = fail != 0; }
unsigned fakebus_settime_count(void) { return clocks.settime_count; }
unsigned fakebus_adjtime_count(void) { return clocks.adjtime_count; }
timex fakebus_ntp_state(void) { return clocks.ntp_state; }
void fakebus_set_ntp_status(int status) { clocks.ntp_state.status = status; }
void fakebus_set_synchronised(long error_us)
{
    clocks.ntp_state.status &= ~STA_UNSYNC;
    clocks.ntp_state.maxerror = error_us;
    clocks.ntp_state.esterror = error_us;
}

void fakebus_reset(void)
{
    clocks.realtime = timespec{};
    clocks.ntp_state.status = 0;
    clocks.settime_errno = 0;
    clocks.mktime_fails = false;
    clocks.settime_count = 0;
    clocks.hold = timespec{};
    clocks.hold_steps = false;
    clocks.preempt_pending = clocks.preempt_armed = false;
    clocks.boottime = timespec{1000, 0};
    clocks.monotonic = timespec{1000, 0};
    clear_ntp_state();
    clocks.adjtime_count = 0;
    j1939_reset();
}

// The pre-emption that a "preempt" armed, after a read of the real-time clock.
static void preempt_after_read()
{
    if (!clocks.preempt_armed)
        return;
    clocks.preempt_armed = false;
    advance(clocks.realtime, clocks.preempt_by);
    advance(clocks.boottime, clocks.preempt_by);
    advance(clocks.monotonic, clocks.preempt_by);
    trace("pre-empted after reading the real-time clock");
}

int clock_gettime(clockid_t clock, timespec *now)
{
    if (clock == CLOCK_BOOTTIME || clock == CLOCK_MONOTONIC) {
        *now = clock == CLOCK_BOOTTIME ? clocks.boottime : clocks.monotonic;
        return 0;
    }
    if (clock != CLOCK_REALTIME)
        return real<int (*)(clockid_t, timespec *)>(
            TIME64_SYMBOL("clock_gettime"))(clock, now);
    *now = clocks.realtime;
    preempt_after_read();
    return 0;
}

int fflush(FILE *stream)
{
    const int flushed = real<int (*)(FILE *)>("fflush")(stream);
    if (stream == stdout) {
        advance(clocks.realtime, clocks.hold);
        advance(clocks.boottime, clocks.hold);
        advance(clocks.monotonic, clocks.hold);
        clocks.hold = timespec{};
        if (clocks.hold_steps)
            foreign_step(clocks.hold_step);
        clocks.hold_steps = false;
        if (std::exchange(clocks.preempt_pending, false))
            clocks.preempt_armed = true;
    }
    return flushed;
}

int clock_settime(clockid_t clock, const timespec *time)
{
    // Whatever the clock, the real one is never touched from here.
    ++clocks.settime_count;
    if (clock != CLOCK_REALTIME) {
        errno = EINVAL;
        return -1;
    }
    if (clocks.settime_errno != 0) {
        errno = clocks.settime_errno;
        return -1;
    }
    if (!settable(*time)) {
        errno = EINVAL;
        return -1;
    }
    clocks.realtime = *time;
    clear_ntp_state();
    if (can_socket.fd >= 0)
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
        ++clocks.adjtime_count;
        if (clocks.settime_errno != 0) {
            errno = clocks.settime_errno;
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
            timespec stepped = clocks.realtime;
            advance(stepped, timespec{0, static_cast<long>(request->time.tv_usec * scale)});
            if (__builtin_add_overflow(stepped.tv_sec, request->time.tv_sec, &stepped.tv_sec) ||
                !settable(stepped)) {
                errno = EINVAL;
                return -1;
            }
            clocks.realtime = stepped;
            // The step comes first and clears the state; the rest of the
            // same call is then written over it.
            clear_ntp_state();
        }
        // Bits that only the kernel sets keep their value.
        constexpr int read_only = STA_PPSSIGNAL | STA_PPSJITTER | STA_PPSWANDER |
                                  STA_PPSERROR | STA_CLOCKERR | STA_NANO |
                                  STA_MODE | STA_CLK;
        if (modes & ADJ_STATUS)
            clocks.ntp_state.status =
                (clocks.ntp_state.status & read_only) | (request->status & ~read_only);
        if (modes & ADJ_MAXERROR)
            clocks.ntp_state.maxerror = request->maxerror;
        if (modes & ADJ_ESTERROR)
            clocks.ntp_state.esterror = request->esterror;
        // As the kernel: a write in nanoseconds leaves them in use.
        if (modes & ADJ_NANO)
            clocks.ntp_state.status |= STA_NANO;
        clocks.ntp_state.modes = modes;
        if (can_socket.fd >= 0 && script.tracing)
            print_clock("");
    }
    // The kernel reads the clock back within the call: after its own step,
    // before another process's (race).
    const timespec read_back = clocks.realtime;
    if (clocks.races && (request->modes & ADJ_SETOFFSET) && !(request->modes & ADJ_STATUS)) {
        clocks.races = false;
        foreign_step(clocks.race_step);
    }
    const unsigned modes = clocks.ntp_state.modes;
    *request = clocks.ntp_state;
    request->modes = modes;
    // In the units the status says, as the kernel gives it.
    request->time.tv_sec = read_back.tv_sec;
    request->time.tv_usec =
        request->status & STA_NANO ? read_back.tv_nsec : read_back.tv_nsec / 1000;
    preempt_after_read();
    return clocks.ntp_state.status & STA_UNSYNC ? TIME_ERROR : TIME_OK;
}

time_t mktime(tm *calendar)
{
    if (clocks.mktime_fails)
        return static_cast<time_t>(-1);
    return real<time_t (*)(tm *)>(TIME64_SYMBOL("mktime"))(calendar);
}

}  // extern "C"
