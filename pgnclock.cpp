// The meaning of a received frame and the decision about the clock: the
// J1939 identifier, the kernel filter that lets only time/date frames through,
// the checks a time/date frame must pass (fields, freshness, local time), the
// comparison with the clock and what follows from it. It decides; clock.cpp
// steps and marks the clock, chrony.cpp sends the samples, report.cpp tells
// the operator; can.cpp and main.cpp hand it the frames.
#include "pgnclock.h"

#include "chrony.h"
#include "clock.h"
#include "report.h"
#include "systemd.h"

#include <err.h>
#include <sys/socket.h>
#include <sys/timex.h>
#include <sys/un.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>

uint16_t TimePGN;
int TimeSource = -1;
uint64_t TimeDrift;
std::string TimeInterface = "any";
LocalFramesPolicy LocalFrames = local_frames_auto;
std::string ChronySocket;

j1939_addr_t::j1939_addr_t(uint32_t can_id)
    : source_address(can_id & 0xFF),
      pgn((can_id >> 8) & 0xFFFF),
      priority((can_id >> 26) & 0x7),
      data_page((can_id >> 24) & 0x3)
{
}

// A remote request carries no data on the bus: its data bytes are whatever
// the driver left in its buffer, an earlier frame's among them.
bool from_time_source(uint32_t can_id)
{
    if (can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG))
        return false;
    return TimeSource < 0 || j1939_addr_t(can_id).source_address == TimeSource;
}

can_filter time_frame_filter()
{
    // The identifier bits that pgn (and a chosen sender's source_address)
    // are read from, and the remote-request flag, clear: 29- and 11-bit data
    // frames alike, any priority and data page, as the handler takes them.
    // Error frames reach no raw socket that has not asked for them.
    canid_t id = static_cast<canid_t>(TimePGN) << 8;
    canid_t mask = CAN_RTR_FLAG | 0xFFFFu << 8;
    if (TimeSource >= 0) {
        id |= static_cast<canid_t>(TimeSource);
        mask |= 0xFFu;
    }
    return can_filter{id, mask};
}

// Years since 1900 that the one-byte year field can express.
static constexpr int first_year = 85;
static constexpr int last_year = 85 + 0xFA;

static bool is_leap_year(int year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Indexed by the month byte itself, whatever it holds: a month that does not
// exist (0, or 13 and above) has 0 days, so that no day passes, and no byte
// of the bus can index past the table.
static int days_in_month(uint8_t month, int year)
{
    static constexpr uint8_t days[256] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : days[month];
}

// Each field within J1939's range: seconds 0-59.75, minutes 0-59, hours
// 0-23, month 1-12, a day that its month has, years 1985-2235. Anything else
// (the 0xFB-0xFF "error" and "not available" markers among it) is not a
// time, and letting mktime normalise it would move the clock by hours or
// months.
// J1939's markers for a one-byte field: 0xFE "error", 0xFF "not available".
static bool says_not_available(const uint8_t *data)
{
    for (int field = 0; field < 6; ++field)
        if (data[field] >= 0xFE)
            return true;
    return false;
}

static bool carries_time(const uint8_t *data)
{
    const uint8_t month = data[3];
    const int day = data[4] >> 2;  // 0.25 day per bit
    const int year = 1985 + data[5];
    return data[0] <= 0xEF && data[1] <= 59 && data[2] <= 23 && data[5] <= 0xFA &&
           day >= 1 && day <= days_in_month(month, year);
}

// The bus time is only as good as it is fresh: a frame that waited in the
// socket's queue (a stopped or starved daemon) carries a time that is already
// past. A clock stepped back since the frame arrived hides how long it
// waited, so a stamp ahead of the clock is no better.
static constexpr int64_t freshness_ns = 1000000000;

// How long the frame waited, in microseconds, or -1 when that is more than
// a second or cannot be known.
static long waited_us(const timespec &arrival, const timespec &now)
{
    // Whole seconds first, so that no stamp, however wild, overflows.
    int64_t seconds = 0;
    if (__builtin_sub_overflow(int64_t{now.tv_sec}, int64_t{arrival.tv_sec}, &seconds) ||
        seconds > 2 || seconds < -2)
        return -1;
    const int64_t age_ns = seconds * 1000000000 + (now.tv_nsec - arrival.tv_nsec);
    if (age_ns < 0 || age_ns > freshness_ns)
        return -1;
    return static_cast<long>(age_ns / 1000);
}

// Byte 7, the local hour offset, at +125 h says that the fields are the
// sender's local time and carry no offset to UTC: read as UTC they would move
// the clock by the sender's zone. Named once for each sender, so that its
// user can switch it to UTC.
static constexpr uint8_t local_time_marker = 0xFA;

// The senders named for sending local time.
static struct {
    bool local_time_named[256];
} handler;

void handler_reset()
{
    handler = {};
}

static bool sends_local_time(const uint8_t *data, uint8_t len, uint8_t sender)
{
    if (len < 8 || data[7] != local_time_marker)
        return false;
    if (!handler.local_time_named[sender]) {
        handler.local_time_named[sender] = true;
        warnx("sender 0x%02X sends local time (local hour offset 0xFA), not UTC: "
              "its time/date frames are ignored", sender);
    }
    return true;
}

void check_time_update(uint16_t pgn, const uint8_t *data, uint8_t len,
                       const timespec *arrival, uint8_t sender)
{
    if (pgn != TimePGN)
        return;
    // A frame too short for the six time fields would be read from stale or
    // padding bytes, and a node without a time fix sends all 0xFF: either,
    // taken at face value, sets the clock years away.
    if (len < 6) {
        report_refused(refused_short);
        return;
    }
    if (!carries_time(data)) {
        report_refused(says_not_available(data) ? refused_marker : refused_out_of_range);
        return;
    }
    if (sends_local_time(data, len, sender)) {
        report_refused(refused_local_time);
        return;
    }

    tm received_tm{};
    // 0.25 s per bit: the quarters are dropped on purpose, the clock is set
    // in whole seconds (resolution_us below).
    received_tm.tm_sec = data[0] >> 2;
    received_tm.tm_min = data[1];
    received_tm.tm_hour = data[2];
    received_tm.tm_mon = data[3] - 1;
    received_tm.tm_mday = data[4] >> 2;  // 0.25 day per bit
    received_tm.tm_year = data[5] + 85;  // offset 1985
    received_tm.tm_isdst = 0;

    const time_t received_sec = mktime(&received_tm);
    // The bus time cannot lie before 1985, so -1 is a failed conversion,
    // never 1969-12-31 23:59:59.
    // A date that the zone's offset pushes outside the years the payload can
    // express (1985-2235) is garbage, not a time.
    if (received_sec == static_cast<time_t>(-1) || received_tm.tm_year < first_year ||
        received_tm.tm_year > last_year) {
        report_refused(refused_out_of_range);
        return;
    }

    // chrony gets the quarter seconds too; the clock is set in whole ones.
    const long quarters_ns = ChronySocket.empty() ? 0 : (data[0] & 3) * 250000000L;
    const timespec received{received_sec, quarters_ns};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    check_and_set_time(now, received, arrival);
}

// Unsigned arithmetic wraps where signed would be undefined, and gives the
// same bits for every time the clock can actually hold.
static uint64_t to_milliseconds(const timespec &t)
{
    return static_cast<uint64_t>(t.tv_sec) * 1000u +
           static_cast<uint64_t>(t.tv_nsec / 1000000);
}

void check_and_set_time(const timespec &now, const timespec &received,
                        const timespec *arrival)
{
    // The boot-time clock right after now: against it shows a step since
    // the last frame, and how long anything held the daemon from here on (a
    // full pipe, SIGSTOP), which leaves the mark's view of the clock that
    // much older.
    timespec read_at{};
    clock_gettime(CLOCK_BOOTTIME, &read_at);
    if (clock_stepped_before(now, read_at)) {
        // Another process's step since the last frame (guestclock, date -s)
        // is taken as the clock's new standing: the frames after it count,
        // and the freshness of their stamps still holds for those before.
        // But chrony takes a sample at its stamp as true: one stamped on the
        // clock as it was before the step (chrony's own, say) is wrong by the
        // step, however small. This frame and those queued are then dropped,
        // as after a step of this daemon's.
        if (!ChronySocket.empty())
            return;
        clock_take_step_as_standing();
    }
    const timespec came = arrival ? *arrival : now;
    const long waited = waited_us(came, now);
    if (waited < 0 || (arrival && stamped_before_last_step(*arrival))) {
        report_refused(refused_stale);
        return;
    }
    const uint64_t now_ms = to_milliseconds(now);
    const uint64_t received_ms = to_milliseconds(received);
    const uint64_t difference =
        now_ms > received_ms ? now_ms - received_ms : received_ms - now_ms;

    printf("%sTime diffence is %" PRIu64 "ms\n", InfoPrefix, difference);
    fflush(stdout);
    // chrony sets the clock and the kernel's state: it gets the bus time
    // against the moment the frame arrived, whatever the drift.
    // A frame that the kernel did not stamp, or one that another process's
    // step overtook while it was handled, would give a sample at a wrong
    // time: chrony takes it as true. The first is no frame taken.
    if (!ChronySocket.empty() && !arrival) {
        report_refused(refused_unstamped);
        return;
    }
    report_taken(received.tv_sec);
    if (!ChronySocket.empty()) {
        const double bus_offset_s = static_cast<double>(int64_t{received.tv_sec} - came.tv_sec) +
                                    (received.tv_nsec - came.tv_nsec) / 1e9;
        if (!stepped_meanwhile(read_at))
            send_to_chrony(came, bus_offset_s);
        return;
    }
    if (difference < TimeDrift) {
        // A negative drift asks for the clock to be left alone: it is then
        // no more vouched for than it is set.
        if (static_cast<int64_t>(TimeDrift) < 0) {
            report_in_step(difference, false);
            return;
        }
        const mark_outcome mark = mark_synchronised(difference, waited, read_at);
        if (mark != mark_outcome::stepped_meanwhile)
            report_in_step(difference, mark == mark_outcome::marked);
        return;
    }

    printf("%sSetting system clock\n", NoticePrefix);
    fflush(stdout);
    if (stepped_meanwhile(read_at))
        return;
    if (step_to_bus_time(received, came) < 0) {
        const int error = errno;
        warn("clock_adjtime(ADJ_SETOFFSET)");
        report_clock_refused(error);
        // The clock stays where the frame found it.
        mark_synchronised(difference, waited, read_at);
        return;
    }
    const int64_t moved_ns = span_ns(received, came);
    report_clock_set(moved_ns);
    clock_stepped_by(moved_ns);
    mark_synchronised(0, waited, read_at);
}
