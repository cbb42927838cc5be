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
};

constexpr time_t t0 = 1718454630;

const ThresholdCase threshold_cases[] = {
    {"difference equal to the drift", {t0 + 2, 0}, t0, 2000, 2000, true},
    {"one millisecond less", {t0 + 1, 999000000}, t0, 2000, 1999, false},
    {"clock behind by as much", {t0 - 2, 0}, t0, 2000, 2000, true},
    {"clock behind by less", {t0 - 2, 1000000}, t0, 2000, 1999, false},
    {"1.5 s fast: print only", {t0 + 1, 500000000}, t0, 2000, 1500, false},
    {"3 s slow: set", {t0 - 3, 0}, t0, 2000, 3000, true},
    {"drift 0 sets even an exact clock", {t0, 0}, t0, 0, 0, true},
    {"a right clock shows its milliseconds", {t0, 999999999}, t0, 2000, 999, false},
    {"negative drift never sets", {t0 - 100000000, 0}, t0, -1, 100000000000, false},
    {"negative drift, far apart", {0, 0}, t0, -2000, 1718454630000, false},
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
}

}  // namespace
