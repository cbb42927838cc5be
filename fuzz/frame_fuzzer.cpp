// One received CAN frame through the frame path, against the stand-in
// clock. Input: a can_frame (16 bytes, zero-padded), then optionally
//   bytes 16-23  the simulated time now, seconds (default 1700000000)
//   bytes 24-27  the drift setting, an int (default 2000)
//   bytes 28-29  TimePGN (default 0xD500, so most inputs can match)
//   byte  30     bit 0: mktime fails, bit 1: the clock refuses the set,
//                bit 2: an NTP daemon's PLL owns the synchronisation state,
//                bit 3: an earlier frame left the clock marked synchronised
//   bytes 31-34  the frame's age when handled, in ms, an int (absent: the
//                kernel gave no arrival stamp)
// Any broken rule traps, so libFuzzer records the input as a crash.
#include "afresh.h"
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
// The daemon's standard output, kept in memory to read what it found.
FILE *output;
char *output_text;
size_t output_size;

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
    null_stream = fopen("/dev/null", "w");
    output = open_memstream(&output_text, &output_size);
    check(output != nullptr, "an in-memory standard output");
    stdout = output;
    check(null_stream != nullptr, "/dev/null opens");

    // Proof that the daemon's clock set lands in the stand-in: its clock
    // moves, and the clock libFuzzer reads does not.
    start_afresh();
    TimeDrift = 0;
    const timespec now{1700000000, 0}, target{600000000, 0};
    fakebus_set_now(&now);
    check_and_set_time(now, target);
    timespec real_now{};
    clock_gettime(CLOCK_REALTIME, &real_now);
    check(fakebus_now().tv_sec == target.tv_sec &&
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
    start_afresh();
    const timespec now{read_or<int64_t>(data, size, 16, 1700000000), 0};
    fakebus_set_now(&now);
    const uint8_t faults = read_or<uint8_t>(data, size, 30, 0);
    fakebus_fail_mktime(faults & 1);
    fakebus_refuse_settime(faults & 2 ? EPERM : 0);
    if (faults & 8)
        fakebus_set_synchronised(500000);
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
    rewind(output);
    const j1939_addr_t id(frame.can_id);
    check_time_update(id.pgn, frame.data, frame.can_dlc, stamped ? &arrival : nullptr,
                      id.source_address);
    stderr = error_stream;

    // The kernel's receive filter passes exactly the frames the handler takes.
    const can_filter filter = time_frame_filter();
    check(static_cast<bool>(fakebus_filter_passes(&filter, frame.can_id)) ==
              (id.pgn == TimePGN && from_time_source(frame.can_id)),
          "kernel receive filter and handler disagree");

    // What the daemon found, as it printed it: the difference, if it took the
    // frame as a time.
    fflush(output);
    unsigned long long difference_ms = 0;
    const bool taken = output_size > 0;
    if (taken)
        check(sscanf(output_text, "Time diffence is %llums", &difference_ms) == 1,
              "the first line is the difference");
    // The bus time as of now, in ns since the epoch: the payload in UTC, and
    // the time since the frame arrived.
    int64_t bus_ns = 0;
    const int64_t age_ns = stamped ? age_ms * 1000000 : 0;
    if (taken) {
        check(id.pgn == TimePGN && (!stamped || (age_ms >= 0 && age_ms <= 1000)),
              "a time taken from a frame of another PGN or one that waited over 1 s");
        tm fields{};
        fields.tm_sec = frame.data[0] >> 2;
        fields.tm_min = frame.data[1];
        fields.tm_hour = frame.data[2];
        fields.tm_mon = frame.data[3] - 1;
        fields.tm_mday = frame.data[4] >> 2;
        fields.tm_year = frame.data[5] + 85;
        const time_t payload = timegm(&fields);
        // Out-of-range fields would have been normalised: none may be taken.
        check(fields.tm_sec == frame.data[0] >> 2 && fields.tm_min == frame.data[1] &&
                  fields.tm_hour == frame.data[2] && fields.tm_mon + 1 == frame.data[3] &&
                  fields.tm_mday == frame.data[4] >> 2 && frame.data[5] <= 0xFA,
              "a time taken from a field out of its range");
        check(frame.can_dlc < 8 || frame.data[7] != 0xFA, "local time taken as UTC");
        check(payload >= lowest_time && payload < highest_time,
              "a time taken outside 1985-01-01 .. 2236-01-01");
        // In unsigned milliseconds, which wrap as the daemon's do for a
        // clock no kernel can hold.
        const uint64_t now_ms = static_cast<uint64_t>(now.tv_sec) * 1000;
        const uint64_t payload_ms = static_cast<uint64_t>(payload) * 1000;
        check(static_cast<uint64_t>(difference_ms) ==
                  (now_ms > payload_ms ? now_ms - payload_ms : payload_ms - now_ms),
              "the difference printed is not the payload's");
        bus_ns = static_cast<int64_t>(payload) * 1000000000 + age_ns;
    }

    // The clock: where it was, or on the bus time as of now.
    const timespec clock = fakebus_now();
    const bool moved = clock.tv_sec != now.tv_sec || clock.tv_nsec != now.tv_nsec;
    if (moved) {
        check(taken && !(faults & 2), "clock moved by a frame not taken, or without privilege");
        check(static_cast<int64_t>(clock.tv_sec) * 1000000000 + clock.tv_nsec == bus_ns,
              "clock set elsewhere than the payload's time plus the frame's age");
    }

    // The kernel's synchronisation state: touched only for a time/date frame,
    // never marked under another discipline or without the privilege, and a
    // mark covers the clock's distance from the bus time.
    if (fakebus_adjtime_count() != 0)
        check(taken, "synchronisation state written for a frame not taken");
    const timex state = fakebus_ntp_state();
    check(!(faults & 4) || !(state.modes & ADJ_STATUS),
          "synchronisation state written under another discipline");
    const bool marked_now = !(state.status & STA_UNSYNC);
    if (faults & 2) {
        check(marked_now == bool(faults & 12), "synchronisation state written without the privilege");
    } else if (marked_now && (faults & 12) == 0 && now.tv_sec >= 0 &&
               now.tv_sec < (int64_t{1} << 34)) {
        // (A clock no kernel can hold wraps the milliseconds, as specified.)
        check(state.maxerror >= 1000000 && state.maxerror < 16000000,
              "clock marked synchronised outside 1-16 s of error");
        const int64_t off_ns =
            static_cast<int64_t>(clock.tv_sec) * 1000000000 + clock.tv_nsec - bus_ns;
        check(std::llabs(off_ns) <= int64_t{state.maxerror} * 1000,
              "clock marked closer to the bus time than it is");
    }
    // No mark stands once a frame showed the clock 15 s or more off. (On a
    // clock no kernel can hold, the daemon cannot tell whether it was
    // stepped meanwhile, and leaves the state to whoever stepped it.)
    if (taken && !moved && difference_ms >= 15000 && static_cast<int64_t>(TimeDrift) >= 0 &&
        !(faults & 6) && now.tv_sec >= 0 && now.tv_sec < (int64_t{1} << 34))
        check(!marked_now, "a mark stands on a clock found 15 s or more off");
    return 0;
}
