// One received CAN frame through the frame path, against the stand-in
// clock. Input: a can_frame (16 bytes, zero-padded), then optionally
//   bytes 16-23  the simulated time now, seconds (default 1700000000)
//   bytes 24-27  the drift setting, an int (default 2000)
//   bytes 28-29  TimePGN (default 0xD500, so most inputs can match)
//   byte  30     bit 0: mktime fails, bit 1: the clock refuses the set,
//                bit 2: an NTP daemon's PLL owns the synchronisation state
//   bytes 31-34  the frame's age when handled, in ms, an int (absent: the
//                kernel gave no arrival stamp)
// Any broken rule traps, so libFuzzer records the input as a crash.
#include "fakebus.h"
#include "pgnclock.h"

#include <linux/can.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

namespace {

time_t lowest_time;   // 1985-01-01 00:00:00
time_t highest_time;  // 2236-01-01 00:00:00, excluded
FILE *null_stream;

void check(bool holds, const char *rule)
{
    if (!holds) {
        fprintf(stderr, "frame_fuzzer: broken rule: %s\n", rule);
        __builtin_trap();
    }
}

time_t utc(int year)
{
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mday = 1;
    return timegm(&t);
}

// The real clock must stay out of reach even if an interposer is missed.
bool can_set_clock()
{
    std::ifstream status("/proc/self/status");
    for (std::string field; status >> field;) {
        if (field == "CapEff:") {
            unsigned long long mask = 0;
            status >> std::hex >> mask;
            return (mask >> 25) & 1;  // CAP_SYS_TIME
        }
    }
    return true;
}

template <typename T>
T read_or(const uint8_t *data, size_t size, size_t offset, T fallback)
{
    if (size < offset + sizeof(T))
        return fallback;
    T value;
    memcpy(&value, data + offset, sizeof value);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (can_set_clock()) {
        fprintf(stderr, "frame_fuzzer: refusing to run with CAP_SYS_TIME; "
                        "use scripts/fuzz or setpriv --bounding-set=-sys_time "
                        "--inh-caps=-sys_time\n");
        abort();
    }
    // The payload is local time; in UTC the bounds below are exact.
    setenv("TZ", "UTC0", 1);
    tzset();
    lowest_time = utc(1985);
    highest_time = utc(2236);
    // The daemon's "Time diffence" lines only slow the run down.
    check(freopen("/dev/null", "w", stdout) != nullptr, "standard output to /dev/null");
    null_stream = fopen("/dev/null", "w");
    check(null_stream != nullptr, "/dev/null opens");

    // Proof that the daemon's clock set lands in the stand-in: the set is
    // counted there, and the clock libFuzzer reads has not moved.
    fakebus_reset();
    TimeDrift = 0;
    const timespec now{1700000000, 0}, target{600000000, 0};
    fakebus_set_now(&now);
    check_and_set_time(now, target);
    timespec real_now{};
    clock_gettime(CLOCK_REALTIME, &real_now);
    check(fakebus_settime_count() == 1 &&
              fakebus_last_settime().tv_sec == target.tv_sec &&
              real_now.tv_sec > target.tv_sec + 1000000,
          "the clock set must reach the stand-in and only it");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    can_frame frame{};
    memcpy(&frame, data, size < sizeof frame ? size : sizeof frame);
    static_assert(sizeof frame == 16, "a classic CAN frame");

    TimePGN = read_or<uint16_t>(data, size, 28, 0xD500);
    // Sign-extended as main() does with the configured value.
    TimeDrift = static_cast<int64_t>(read_or<int32_t>(data, size, 24, 2000));
    fakebus_reset();
    const timespec now{read_or<int64_t>(data, size, 16, 1700000000), 0};
    fakebus_set_now(&now);
    const uint8_t faults = read_or<uint8_t>(data, size, 30, 0);
    fakebus_fail_mktime(faults & 1);
    fakebus_refuse_settime(faults & 2 ? EPERM : 0);
    if (faults & 4)
        fakebus_set_ntp_status(STA_PLL);
    const int64_t age_ms = read_or<int32_t>(data, size, 31, 0);
    int64_t arrival_ms = 0;
    const bool stamped =
        size >= 35 && !__builtin_mul_overflow(int64_t{now.tv_sec}, 1000, &arrival_ms) &&
        !__builtin_sub_overflow(arrival_ms, age_ms, &arrival_ms);
    timespec arrival{static_cast<time_t>(arrival_ms / 1000),
                     static_cast<long>(arrival_ms % 1000) * 1000000};
    if (arrival.tv_nsec < 0) {
        arrival.tv_nsec += 1000000000;
        --arrival.tv_sec;
    }

    // warn() on every refused set would flood the log; sanitizer reports
    // go to the descriptor, not this stream, and still get out.
    FILE *const error_stream = stderr;
    stderr = null_stream;
    const j1939_addr_t id(frame.can_id);
    check_time_update(id.pgn, frame.data, frame.can_dlc, stamped ? &arrival : nullptr);
    stderr = error_stream;

    // The kernel's receive filter passes exactly the frames the handler takes.
    const can_filter filter = time_frame_filter();
    check(static_cast<bool>(fakebus_filter_passes(&filter, frame.can_id)) ==
              (id.pgn == TimePGN && from_time_source(frame.can_id)),
          "kernel receive filter and handler disagree");

    // The kernel's synchronisation state: touched only for a time/date frame,
    // marked only within its 16 s and never without the privilege.
    if (fakebus_adjtime_count() != 0) {
        check(id.pgn == TimePGN, "synchronisation marked from a frame of another PGN");
        check(!(faults & 4), "synchronisation state written under another discipline");
    }
    const timex state = fakebus_ntp_state();
    if (fakebus_adjtime_count() != 0 && !(state.status & STA_UNSYNC)) {
        check(state.maxerror >= 1000000 && state.maxerror < 16000000,
              "clock marked synchronised outside 1-16 s of error");
        check(!(faults & 2), "clock marked synchronised without the privilege");
    }

    if (fakebus_settime_count() == 0)
        return 0;
    check(fakebus_settime_count() == 1, "at most one clock set per frame");
    check(id.pgn == TimePGN, "clock set from a frame of another PGN");
    for (int i = 0; i < 6; ++i)
        check(frame.data[i] < 0xFB, "clock set from a 0xFB-0xFF field");
    check(!stamped || (age_ms <= 1000 && age_ms >= 0),
          "clock set from a frame that waited more than a second");
    const time_t set = fakebus_last_settime().tv_sec;
    check(set >= lowest_time && set < highest_time,
          "clock set outside 1985-01-01 .. 2236-01-01");
    // In UTC the set time reads back as the payload's fields, unnormalised.
    tm fields{};
    check(gmtime_r(&set, &fields) != nullptr, "the set time converts back");
    check(fields.tm_sec == frame.data[0] >> 2 && fields.tm_min == frame.data[1] &&
              fields.tm_hour == frame.data[2] && fields.tm_mon + 1 == frame.data[3] &&
              fields.tm_mday == frame.data[4] >> 2 && fields.tm_year - 85 == frame.data[5],
          "clock set from a field out of its range");
    return 0;
}
