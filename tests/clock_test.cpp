// The decision to set the clock, and what it prints.
#include "capture.h"
#include "fakebus.h"
#include "pgnclock.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

struct ThresholdCase {
    const char *name;
    timespec now;
    time_t received;
    int drift;  // as configured
    uint64_t difference_ms;
    bool sets;
    long maxerror_us;  // of the synchronised mark; 0: not marked
};

constexpr time_t t0 = 1718454630;

// A set clock is marked synchronised to the bus's one-second resolution; one
// within the drift, to its difference plus that second, while that stays
// below the kernel's 16 s, which it takes for no synchronisation.
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
    {"negative drift never sets", {t0 - 100000000, 0}, t0, -1, 100000000000, false, 0},
    {"negative drift, far apart", {0, 0}, t0, -2000, 1718454630000, false, 0},
    {"negative drift vouches for nothing", {t0, 500000000}, t0, -1, 500, false, 0},
};

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override { fakebus_reset(); }
    void TearDown() override { fakebus_reset(); }
};

TEST_F(ClockTest, SetsWhenTheDifferenceReachesTheDrift)
{
    for (const auto &c : threshold_cases) {
        SCOPED_TRACE(c.name);
        fakebus_reset();
        TimeDrift = static_cast<int64_t>(c.drift);
        StdoutCapture out;
        check_and_set_time(c.now, timespec{c.received, 0});

        std::string expected =
            "Time diffence is " + std::to_string(c.difference_ms) + "ms\n";
        if (c.sets)
            expected += "Setting system clock\n";
        EXPECT_EQ(out.text(), expected);
        ASSERT_EQ(fakebus_settime_count(), c.sets ? 1u : 0u);
        if (c.sets) {
            EXPECT_EQ(fakebus_last_settime().tv_sec, c.received);
            EXPECT_EQ(fakebus_last_settime().tv_nsec, 0);
        }
        const timex state = fakebus_ntp_state();
        if (c.maxerror_us != 0) {
            EXPECT_FALSE(state.status & STA_UNSYNC);
            EXPECT_EQ(state.maxerror, c.maxerror_us);
            EXPECT_EQ(state.esterror, c.maxerror_us);
        } else {
            EXPECT_EQ(fakebus_adjtime_count(), 0u);
            EXPECT_TRUE(state.status & STA_UNSYNC);
        }
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
// neither a set nor an agreeing frame may mark it or step under it.
TEST_F(ClockTest, AnotherDisciplineKeepsTheState)
{
    TimeDrift = 2000;
    for (const int discipline : {STA_PLL, STA_FLL, STA_PPSTIME | STA_PPSSIGNAL}) {
        for (const time_t now : {t0, t0 + 10}) {
            SCOPED_TRACE(testing::Message() << "status " << discipline << ", "
                                            << now - t0 << " s off");
            fakebus_reset();
            fakebus_set_ntp_status(discipline);
            StdoutCapture out;
            check_and_set_time(timespec{now, 0}, timespec{t0, 0});
            EXPECT_EQ(fakebus_adjtime_count(), 0u);
            EXPECT_EQ(fakebus_ntp_state().status & discipline, discipline);
        }
    }
}

TEST_F(ClockTest, RefusedSetIsReportedOnStderrAndOutputStaysTheSame)
{
    TimeDrift = 2000;
    fakebus_refuse_settime(EPERM);
    StdoutCapture out;
    testing::internal::CaptureStderr();
    check_and_set_time(timespec{t0 + 10, 0}, timespec{t0, 0});
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(out.text(), "Time diffence is 10000ms\nSetting system clock\n");
    EXPECT_EQ(err, std::string(program_invocation_short_name) +
                       ": clock_settime(): Operation not permitted\n");
    EXPECT_EQ(fakebus_settime_count(), 1u);
    EXPECT_EQ(fakebus_adjtime_count(), 0u);
    EXPECT_TRUE(fakebus_ntp_state().status & STA_UNSYNC);
}

}  // namespace
