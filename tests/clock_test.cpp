// The decision to set the clock, and what it prints.
#include "capture.h"
#include "afresh.h"
#include "chrony.h"
#include "clock.h"
#include "pgnclock.h"
#include "report.h"
#include "systemd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct ThresholdCase {
    const char *name;
    timespec now;
    time_t received;
    int drift;  // as configured
    uint64_t difference_ms;
    bool sets;
    long maxerror_us;  // of the synchronised mark; 0: unsynchronised
    bool marked_before = false;  // with 500 ms, as by an earlier frame
    long waited_us = 0;          // from the frame's arrival to now
};

constexpr time_t t0 = 1718454630;
constexpr long earlier_mark_us = 500000;

// A set clock is marked synchronised to the bus's one-second resolution; one
// within the drift, to its difference plus that second, while that stays
// below the kernel's 16 s, which it takes for no synchronisation. A clock
// found further off loses the mark it had.
const ThresholdCase threshold_cases[] = {
    {"difference equal to the drift", {t0 + 2, 0}, t0, 2000, 2000, true, 1000000},
    {"one millisecond less", {t0 + 1, 999000000}, t0, 2000, 1999, false, 2999000},
    {"clock behind by as much", {t0 - 2, 0}, t0, 2000, 2000, true, 1000000},
    {"clock behind by less", {t0 - 2, 1000000}, t0, 2000, 1999, false, 2999000},
    {"1.5 s fast: print only", {t0 + 1, 500000000}, t0, 2000, 1500, false, 2500000},
    {"3 s slow: set", {t0 - 3, 0}, t0, 2000, 3000, true, 1000000},
    {"drift 0 sets even an exact clock", {t0, 0}, t0, 0, 0, true, 1000000},
    {"a right clock shows its milliseconds", {t0, 999999999}, t0, 2000, 999, false, 1999000},
    {"just under 15 s off within a wide drift", {t0 + 14, 999000000}, t0, 60000, 14999,
     false, 15999000},
    {"15 s off: the kernel's 16 s, not marked", {t0 + 15, 0}, t0, 60000, 15000, false, 0},
    // The time a frame waited counts towards the kernel's 16 s.
    {"14 s off after a wait just under 1 s", {t0 + 14, 0}, t0, 60000, 14000, false,
     15999999, false, 999999},
    {"14 s off after waiting 1 s: the kernel's 16 s", {t0 + 14, 0}, t0, 60000, 14000, false,
     0, true, 1000000},
    {"15 s off withdraws an earlier mark", {t0 + 15, 0}, t0, 60000, 15000, false, 0, true},
    {"19.8 s off withdraws it", {t0 - 20, 200000000}, t0, 60000, 19800, false, 0, true},
    {"14 s off renews it", {t0 + 14, 0}, t0, 60000, 14000, false, 15000000, true},
    {"a set marks it anew", {t0 + 30, 0}, t0, 2000, 30000, true, 1000000, true},
    {"negative drift never sets", {t0 - 100000000, 0}, t0, -1, 100000000000, false, 0},
    {"negative drift, far apart", {0, 0}, t0, -2000, 1718454630000, false, 0},
    {"negative drift vouches for nothing", {t0, 500000000}, t0, -1, 500, false, 0},
    {"negative drift leaves the state alone", {t0 + 20, 0}, t0, -1, 20000, false,
     earlier_mark_us, true},
};

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override { start_afresh(); }
    void TearDown() override { start_afresh(); }
};


void expect_state(long maxerror_us)
{
    const timex state = fakebus_ntp_state();
    if (maxerror_us != 0) {
        EXPECT_FALSE(state.status & STA_UNSYNC);
        EXPECT_EQ(state.maxerror, maxerror_us);
        EXPECT_EQ(state.esterror, maxerror_us);
    } else {
        EXPECT_TRUE(state.status & STA_UNSYNC);
        EXPECT_EQ(state.maxerror, 16000000);
    }
}

TEST_F(ClockTest, SetsWhenTheDifferenceReachesTheDrift)
{
    for (const auto &c : threshold_cases) {
        SCOPED_TRACE(c.name);
        start_afresh();
        fakebus_set_now(&c.now);
        if (c.marked_before)
            fakebus_set_synchronised(earlier_mark_us);
        TimeDrift = static_cast<int64_t>(c.drift);
        const timespec arrival{c.now.tv_sec - (c.waited_us * 1000 > c.now.tv_nsec),
                               (c.now.tv_nsec + 1000000000 - c.waited_us * 1000) % 1000000000};
        StdoutCapture out;
        check_and_set_time(c.now, timespec{c.received, 0}, &arrival);

        std::string expected =
            "Time diffence is " + std::to_string(c.difference_ms) + "ms\n";
        if (c.sets)
            expected += "Setting system clock\n";
        EXPECT_EQ(out.text(), expected);
        const timespec clock = fakebus_now();
        EXPECT_EQ(clock.tv_sec, c.sets ? c.received : c.now.tv_sec);
        EXPECT_EQ(clock.tv_nsec, c.sets ? 0 : c.now.tv_nsec);
        expect_state(c.maxerror_us);
        // Nothing to mark and nothing to withdraw: nothing written.
        if (c.maxerror_us == 0 && !c.marked_before) {
            EXPECT_EQ(fakebus_adjtime_count(), 0u);
        }
    }
}

struct HeldCase {
    const char *name;
    timespec waited;  // from the frame's arrival to the clock's reading
    timespec held;    // from the clock's reading to the set
};

// Whatever holds the daemon (a full pipe, SIGSTOP, a starved CPU) between
// its reading of the clock and the set, the clock lands on the bus time:
// the received second plus the time since the frame arrived. What the clock
// may have drifted meanwhile (500 ppm) adds to the mark's error.
const HeldCase held_cases[] = {
    {"handled at once", {0, 0}, {0, 0}},
    {"held 3 s", {0, 0}, {3, 0}},
    {"held 10 s", {0, 0}, {10, 0}},
    {"waited 0.6 s, then held 10 s", {0, 600000000}, {10, 0}},
    {"waited 0.3 s, held 0.9 s", {0, 300000000}, {0, 900000000}},
};

TEST_F(ClockTest, SetLandsOnTheBusTimeHoweverLongTheDaemonIsHeld)
{
    TimeDrift = 2000;
    for (const auto &c : held_cases) {
        SCOPED_TRACE(c.name);
        start_afresh();
        // The clock 3.5 s slow when the frame carrying t0 arrives.
        const timespec arrival{t0 - 4, 500000000};
        timespec now = arrival;
        now.tv_nsec += c.waited.tv_nsec;
        if (now.tv_nsec >= 1000000000) {
            now.tv_nsec -= 1000000000;
            ++now.tv_sec;
        }
        fakebus_set_now(&now);
        StdoutCapture out;
        fakebus_hold(&c.held);  // on the daemon's first line
        check_and_set_time(now, timespec{t0, 0}, &arrival);

        const int64_t since_arrival_ns =
            (c.waited.tv_sec + c.held.tv_sec) * 1000000000LL + c.waited.tv_nsec +
            c.held.tv_nsec;
        const timespec clock = fakebus_now();
        EXPECT_EQ(clock.tv_sec, t0 + since_arrival_ns / 1000000000);
        EXPECT_EQ(clock.tv_nsec, since_arrival_ns % 1000000000);
        EXPECT_EQ(fakebus_settime_count(), 0u);
        expect_state(1000000 + c.waited.tv_nsec / 1000 +
                     (c.held.tv_sec * 1000000 + c.held.tv_nsec / 1000) / 2000);

        // A frame within the drift: the same wait and hold add to its mark.
        start_afresh();
        const timespec near_arrival{t0, 300000000};
        timespec near_now = near_arrival;
        near_now.tv_nsec += c.waited.tv_nsec;
        fakebus_set_now(&near_now);
        fakebus_hold(&c.held);
        check_and_set_time(near_now, timespec{t0, 0}, &near_arrival);
        expect_state((near_now.tv_nsec / 1000000) * 1000 + 1000000 + c.waited.tv_nsec / 1000 +
                     (c.held.tv_sec * 1000000 + c.held.tv_nsec / 1000) / 2000);
    }
}

// Only a step wakes those waiting for a synchronised clock, so the mark of an
// unsynchronised clock steps it forth and back; later marks leave it be. The
// clock ends where it was.
TEST_F(ClockTest, MarkStepsOnlyAnUnsynchronisedClockAndLeavesItWhereItWas)
{
    TimeDrift = 2000;
    const timespec now{t0, 250000000};
    fakebus_set_now(&now);
    StdoutCapture out;
    check_and_set_time(now, timespec{t0, 0});
    EXPECT_EQ(fakebus_adjtime_count(), 2u);
    EXPECT_TRUE(fakebus_ntp_state().modes & ADJ_SETOFFSET);
    // Each step clears the state, so each must carry the mark.
    EXPECT_FALSE(fakebus_ntp_state().status & STA_UNSYNC);
    check_and_set_time(now, timespec{t0, 0});
    EXPECT_EQ(fakebus_adjtime_count(), 3u);
    EXPECT_FALSE(fakebus_ntp_state().modes & ADJ_SETOFFSET);
    EXPECT_FALSE(fakebus_ntp_state().status & STA_UNSYNC);
    timespec after{};
    clock_gettime(CLOCK_REALTIME, &after);
    EXPECT_EQ(after.tv_sec, now.tv_sec);
    EXPECT_EQ(after.tv_nsec, now.tv_nsec);
    EXPECT_EQ(fakebus_settime_count(), 0u);
}

// An NTP daemon's PLL or FLL, or a PPS source, owns the synchronisation state:
// neither a set nor an agreeing frame may mark it, and only a set steps.
TEST_F(ClockTest, AnotherDisciplineKeepsTheState)
{
    TimeDrift = 2000;
    for (const int discipline : {STA_PLL, STA_FLL, STA_PPSTIME | STA_PPSSIGNAL}) {
        for (const time_t now : {t0, t0 + 10}) {
            SCOPED_TRACE(testing::Message() << "status " << discipline << ", "
                                            << now - t0 << " s off");
            start_afresh();
            fakebus_set_ntp_status(discipline);
            const timespec before{now, 0};
            fakebus_set_now(&before);
            StdoutCapture out;
            check_and_set_time(before, timespec{t0, 0});
            const bool sets = now != t0;
            EXPECT_EQ(fakebus_adjtime_count(), sets ? 1u : 0u);
            EXPECT_FALSE(fakebus_ntp_state().modes & ADJ_STATUS);
            EXPECT_EQ(fakebus_ntp_state().status & discipline, discipline);
            EXPECT_EQ(fakebus_now().tv_sec, t0);
        }
    }
}

struct DisciplineLeftCase {
    const char *name;
    int status;         // as the daemon that stopped left it
    int error;          // every write refused with it; 0: none
    int cleared;        // what clear_discipline gives
    int status_after;
};

// What pgnclock-clear-discipline does before the daemon starts: only the
// flags of a time daemon's PLL or FLL go, and nothing is written without
// them; whether the clock is vouched for stays as it was.
const DisciplineLeftCase discipline_left_cases[] = {
    {"timesyncd's slew, then its mark lapsed", STA_PLL | STA_UNSYNC, 0, STA_PLL, STA_UNSYNC},
    {"timesyncd's slew, still marked", STA_PLL, 0, STA_PLL, 0},
    {"a frequency-locked loop", STA_FLL | STA_PLL, 0, STA_FLL | STA_PLL, 0},
    {"a PPS source stays", STA_PPSTIME | STA_PPSFREQ, 0, 0, STA_PPSTIME | STA_PPSFREQ},
    {"no daemon's flag", STA_UNSYNC, 0, 0, STA_UNSYNC},
    {"refused", STA_PLL | STA_UNSYNC, EPERM, -1, STA_PLL | STA_UNSYNC},
};

// A frame refused before its time was compared read no clock: another
// process's step since the last frame shows after it, once, as a step
// between frames: the queue is dropped for chrony's samples alone. A step of
// less than a millisecond is none.
TEST_F(ClockTest, AStepBeforeARefusedFrameShowsAfterIt)
{
    for (const bool standing : {false, true}) {
        EXPECT_FALSE(clock_take_stepped(standing));
        for (const long step_ns : {999000L, 3000000L}) {
            timex step{};
            step.modes = ADJ_SETOFFSET | ADJ_NANO;
            step.time.tv_usec = step_ns;
            ASSERT_GE(clock_adjtime(CLOCK_REALTIME, &step), 0);
            EXPECT_EQ(clock_take_stepped(standing), !standing && step_ns >= 1000000)
                << step_ns << " ns, standing " << standing;
            EXPECT_FALSE(clock_take_stepped(standing));
        }
    }
}

TEST_F(ClockTest, ClearDisciplineClearsOnlyAStoppedDaemonsLoop)
{
    for (const auto &c : discipline_left_cases) {
        SCOPED_TRACE(c.name);
        start_afresh();
        fakebus_set_ntp_status(c.status);
        fakebus_refuse_settime(c.error);
        EXPECT_EQ(clear_discipline(), c.cleared);
        EXPECT_EQ(fakebus_ntp_state().status, c.status_after);
        EXPECT_EQ(fakebus_adjtime_count(), c.cleared == 0 ? 0u : 1u);
        EXPECT_EQ(fakebus_settime_count(), 0u);
    }
}

struct RefusedCase {
    const char *name;
    int error;          // every write refused with it; 0: only the set
    time_t received;
    const char *reason;
    long maxerror_us;   // of the mark afterwards; 0: unsynchronised
};

// A refused set leaves the clock where the frame found it, and the mark
// tells the kernel as much: without the privilege nothing is written; a
// time the kernel cannot hold (past April 2232) leaves a clock too far off
// for any mark.
const RefusedCase refused_cases[] = {
    {"no privilege", EPERM, t0, "Operation not permitted", earlier_mark_us},
    {"a time the kernel cannot hold", 0, 8362569600, "Invalid argument", 0},
};

TEST_F(ClockTest, RefusedSetIsReportedOnStderrAndTheClockStays)
{
    TimeDrift = 2000;
    for (const auto &c : refused_cases) {
        SCOPED_TRACE(c.name);
        start_afresh();
        const timespec now{t0 + 10, 0};
        fakebus_set_now(&now);
        fakebus_set_synchronised(earlier_mark_us);
        fakebus_refuse_settime(c.error);
        StdoutCapture out;
        testing::internal::CaptureStderr();
        check_and_set_time(now, timespec{c.received, 0});
        const std::string err = testing::internal::GetCapturedStderr();

        EXPECT_EQ(out.text(), "Time diffence is " +
                                  std::to_string(std::llabs(c.received - now.tv_sec) * 1000) +
                                  "ms\nSetting system clock\n");
        EXPECT_EQ(err, std::string(program_invocation_short_name) +
                           ": clock_adjtime(ADJ_SETOFFSET): " + c.reason + "\n");
        EXPECT_EQ(fakebus_now().tv_sec, now.tv_sec);
        expect_state(c.maxerror_us);
    }
}

// chrony's sample as its two builds read it: the struct timeval's words
// 32 bits wide (Debian 12 on armhf) or 64 (64-bit targets, and 32-bit ones
// built with 64-bit time), then the offset, pulse, leap, padding, magic.
struct SampleCase {
    const char *name;
    int time_bits;
    timespec stamp;
    double offset;
    size_t size;
};

const SampleCase sample_cases[] = {
    {"32-bit time_t", 32, {t0, 999999999}, 3.75, 32},
    {"64-bit time_t", 64, {t0, 999999999}, 3.75, 40},
    {"a quarter second behind", 64, {t0 + 1, 250000000}, -0.25, 40},
    {"an hour off, 32 bits", 32, {t0 - 3600, 0}, 3600.5, 32},
    {"past 2038 on 64 bits", 64, {4102444800, 1000}, 0, 40},
};

template <typename Word>
Word word_at(const unsigned char *bytes, size_t at)
{
    Word word;
    memcpy(&word, bytes + at, sizeof word);
    return word;
}

TEST(ChronySample, BytesAsChronyReadsThem)
{
    for (const auto &c : sample_cases) {
        SCOPED_TRACE(c.name);
        unsigned char bytes[chrony_sample_max];
        memset(bytes, 0xAA, sizeof bytes);
        ASSERT_EQ(chrony_sample(c.time_bits, c.stamp, c.offset, bytes), c.size);
        const size_t word = c.time_bits / 8;
        if (word == 4) {
            EXPECT_EQ(word_at<int32_t>(bytes, 0), static_cast<int32_t>(c.stamp.tv_sec));
            EXPECT_EQ(word_at<int32_t>(bytes, 4), c.stamp.tv_nsec / 1000);
        } else {
            EXPECT_EQ(word_at<int64_t>(bytes, 0), c.stamp.tv_sec);
            EXPECT_EQ(word_at<int64_t>(bytes, 8), c.stamp.tv_nsec / 1000);
        }
        EXPECT_EQ(word_at<double>(bytes, 2 * word), c.offset);
        EXPECT_EQ(word_at<int32_t>(bytes, 2 * word + 8), 0);   // pulse: a whole time
        EXPECT_EQ(word_at<int32_t>(bytes, 2 * word + 12), 0);  // leap: none announced
        EXPECT_EQ(word_at<int32_t>(bytes, 2 * word + 16), 0);  // padding, zeroed
        EXPECT_EQ(word_at<int32_t>(bytes, 2 * word + 20), 0x534f434b);  // "SOCK"
    }
}

// Sent to chrony, a frame's time neither steps the clock nor marks it.
TEST_F(ClockTest, WithChronyTheClockIsLeftAlone)
{
    ChronySocket = "/nonexistent/chrony.sock";
    TimeDrift = 2000;
    const timespec now{t0 + 3600, 0};
    fakebus_set_now(&now);
    StdoutCapture out;
    testing::internal::CaptureStderr();
    // Without the kernel's arrival stamp the sample's time would be a
    // guess: none is sent.
    check_and_set_time(now, timespec{t0, 500000000});
    const std::string unstamped = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    const timespec arrival = now;
    check_and_set_time(now, timespec{t0, 500000000}, &arrival);
    const std::string err = testing::internal::GetCapturedStderr();
    ChronySocket.clear();
    EXPECT_EQ(unstamped.find("chrony's socket"), std::string::npos);
    EXPECT_EQ(out.text(), "Time diffence is 3599500ms\nTime diffence is 3599500ms\n");
    EXPECT_NE(err.find("chrony's socket /nonexistent/chrony.sock"), std::string::npos);
    EXPECT_EQ(fakebus_now().tv_sec, now.tv_sec);
    EXPECT_EQ(fakebus_adjtime_count(), 0u);
    EXPECT_EQ(fakebus_settime_count(), 0u);
}

}  // namespace
