// A received frame: identifier decoding, and which payloads reach the clock
// with which time.
#include "can.h"
#include "capture.h"
#include "afresh.h"
#include "chrony.h"
#include "clock.h"
#include "pgnclock.h"
#include "report.h"
#include "systemd.h"

#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace {

struct IdentifierCase {
    const char *name;
    uint32_t can_id;
    uint8_t source_address;
    uint16_t pgn;
    uint8_t priority;
    uint8_t data_page;
};

const IdentifierCase identifier_cases[] = {
    {"extended time/date", CAN_EFF_FLAG | 0x18D500F9, 0xF9, 0xD500, 6, 0},
    {"data page", CAN_EFF_FLAG | 0x19D500F9, 0xF9, 0xD500, 6, 1},
    {"extended data page", CAN_EFF_FLAG | 0x1AD500F9, 0xF9, 0xD500, 6, 2},
    {"flag bits stay out", CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG | 0x1CFEE6FF,
     0xFF, 0xFEE6, 7, 0},
    {"no flags", 0x1FFFFFFF, 0xFF, 0xFFFF, 7, 3},
    {"11-bit identifier", 0x123, 0x23, 0x0001, 0, 0},
    {"largest 11-bit identifier", 0x7FF, 0xFF, 0x0007, 0, 0},
};

TEST(Identifier, DecodesJ1939Fields)
{
    for (const auto &c : identifier_cases) {
        SCOPED_TRACE(c.name);
        const j1939_addr_t id(c.can_id);
        EXPECT_EQ(id.source_address, c.source_address);
        EXPECT_EQ(id.pgn, c.pgn);
        EXPECT_EQ(id.priority, c.priority);
        EXPECT_EQ(id.data_page, c.data_page);
    }
}

// The kernel's receive filter must pass exactly what the handler takes, or a
// time/date frame never reaches it: checked over every 11-bit identifier,
// J1939 identifiers of every priority, data page and sender, random ones, each
// plain, as a remote request, extended and with the error flag, for any
// sender and for a chosen one. Remote requests and error frames carry no
// time, and neither passes. The tap's program, which sees the frames this
// host sends, must pass the same outgoing frames, and none that comes in,
// nor CAN FD or XL.
TEST(Identifier, KernelFilterPassesExactlyWhatTheHandlerTakes)
{
    std::vector<uint32_t> ids;
    for (uint32_t id = 0; id <= CAN_SFF_MASK; ++id)
        ids.push_back(id);
    for (uint32_t page_and_priority = 0; page_and_priority < 32; ++page_and_priority)
        for (uint32_t pgn : {0xD500u, 0xD5FFu, 0xFEE6u, 0x0007u, 0x0000u, 0x00FFu, 0xFFFFu})
            for (uint32_t sender : {0x00u, 0x25u, 0xF9u, 0xFDu, 0xFEu, 0xFFu})
                ids.push_back(page_and_priority << 24 | pgn << 8 | sender);
    std::mt19937 random(1939);
    for (int i = 0; i < 20000; ++i)
        ids.push_back(random());

    const uint32_t flags[] = {0, CAN_RTR_FLAG, CAN_EFF_FLAG, CAN_EFF_FLAG | CAN_RTR_FLAG,
                              CAN_ERR_FLAG};
    for (const int source : {-1, 0x00, 0x25, 0xFD}) {
        for (const uint16_t pgn : {0xD500, 0xFEE6, 0x0007, 0x0000, 0xFFFF, 0x00FF}) {
            TimePGN = pgn;
            TimeSource = source;
            const can_filter filter = time_frame_filter();
            // Narrowed to interface 5, as where `interface` names one; on
            // every interface but links 3 and 7, whose frames need no copy;
            // and on interface 5, itself such a link.
            const std::vector<sock_filter> tap = tap_filter_program(filter, 5),
                                           skipping = tap_filter_program(filter, 0, {3, 7}),
                                           none = tap_filter_program(filter, 5, {3, 5});
            const auto passes = [&](const std::vector<sock_filter> &program, uint32_t can_id,
                                    uint32_t pkttype, uint32_t protocol, uint32_t length,
                                    int ifindex) {
                can_frame frame{};
                frame.can_id = can_id;
                return fakebus_tap_passes(program.data(), program.size(), &frame, pkttype,
                                          protocol, length, ifindex) != 0;
            };
            const auto tap_passes = [&](uint32_t can_id, uint32_t pkttype, uint32_t protocol,
                                        uint32_t length, int ifindex = 5) {
                return passes(tap, can_id, pkttype, protocol, length, ifindex);
            };
            unsigned disagreements = 0, taken = 0;
            for (const uint32_t id : ids) {
                for (const uint32_t flag : flags) {
                    const uint32_t can_id = (id & CAN_EFF_MASK) | flag;
                    const bool handler_takes =
                        j1939_addr_t(can_id).pgn == TimePGN && from_time_source(can_id);
                    taken += handler_takes;
                    const bool tap_agrees =
                        tap_passes(can_id, PACKET_OUTGOING, ETH_P_CAN, CAN_MTU) == handler_takes &&
                        !tap_passes(can_id, PACKET_BROADCAST, ETH_P_CAN, CAN_MTU) &&
                        !tap_passes(can_id, PACKET_OUTGOING, ETH_P_CANFD, CANFD_MTU) &&
                        !tap_passes(can_id, PACKET_OUTGOING, ETH_P_CAN, CANFD_MTU) &&
                        !tap_passes(can_id, PACKET_OUTGOING, ETH_P_IP, CAN_MTU) &&
                        !tap_passes(can_id, PACKET_OUTGOING, ETH_P_CAN, CAN_MTU, 6) &&
                        passes(skipping, can_id, PACKET_OUTGOING, ETH_P_CAN, CAN_MTU, 5) ==
                            handler_takes &&
                        !passes(skipping, can_id, PACKET_OUTGOING, ETH_P_CAN, CAN_MTU, 3) &&
                        !passes(skipping, can_id, PACKET_OUTGOING, ETH_P_CAN, CAN_MTU, 7) &&
                        !passes(none, can_id, PACKET_OUTGOING, ETH_P_CAN, CAN_MTU, 5);
                    if ((fakebus_filter_passes(&filter, can_id) != handler_takes || !tap_agrees) &&
                        ++disagreements < 5)
                        ADD_FAILURE() << std::hex << "time_pgn 0x" << pgn << ", source "
                                      << source << ", id 0x" << can_id
                                      << ": filter, tap and handler disagree";
                }
            }
            EXPECT_EQ(disagreements, 0u) << std::hex << "time_pgn 0x" << pgn << ", source " << source;
            EXPECT_GT(taken, 0u) << std::hex << "time_pgn 0x" << pgn << ", source " << source;
        }
    }
    TimePGN = 0xD500;
    TimeSource = -1;
}

// Frames reach the clock with a drift of 0, so every accepted frame sets it
// and the set shows the received time.
class FrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_tz = getenv("TZ") ? getenv("TZ") : "";
        had_tz = getenv("TZ") != nullptr;
        use_zone("UTC0");
        start_afresh();
        TimePGN = 0xD500;
        TimeDrift = 0;
    }
    void TearDown() override
    {
        if (had_tz)
            setenv("TZ", saved_tz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        start_afresh();
    }
    static void use_zone(const char *zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }

    std::string saved_tz;
    bool had_tz = false;
};

constexpr time_t june_15_2024_123030_utc = 1718454630;

struct PayloadCase {
    const char *name;
    const char *zone;  // POSIX TZ text, so no zone database is needed
    std::vector<uint8_t> data;
    time_t expected;
};

const PayloadCase payload_cases[] = {
    {"12:30:30 on 15 June 2024", "UTC0", {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0},
     june_15_2024_123030_utc},
    // Read as standard time even in summer: CET is UTC+1.
    {"same bytes in CET", "CET-1CEST,M3.5.0,M10.5.0/3",
     {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0}, june_15_2024_123030_utc - 3600},
    {"quarter seconds dropped (0x03)", "UTC0", {0x03, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0},
     june_15_2024_123030_utc - 30},
    {"quarter seconds dropped (0xEF)", "UTC0", {0xEF, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0},
     june_15_2024_123030_utc + 29},
    {"quarter days dropped", "UTC0", {0x78, 0x1E, 0x0C, 0x06, 0x3F, 0x27, 0, 0},
     june_15_2024_123030_utc},
    // Local offsets, even "not available" ones, play no part.
    {"bytes 6 and 7 ignored", "UTC0", {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0xFF, 0xFE},
     june_15_2024_123030_utc},
    {"29 February of a leap year", "UTC0", {0x00, 0x00, 0x00, 0x02, 0x74, 0x27, 0, 0},
     1709164800},
    {"29 February 2000", "UTC0", {0x00, 0x00, 0x00, 0x02, 0x74, 0x0F, 0, 0}, 951782400},
    {"year byte 0 is 1985", "UTC0", {0x00, 0x00, 0x00, 0x01, 0x04, 0x00, 0, 0}, 473385600},
    // The last valid year byte, 2235-01-01, needs a 64-bit time_t.
    {"year byte 0xFA is 2235", "UTC0", {0x00, 0x00, 0x00, 0x01, 0x04, 0xFA, 0, 0},
     8362569600},
    {"last second expressible", "UTC0", {0xEF, 0x3B, 0x17, 0x0C, 0x7C, 0xFA, 0, 0},
     8394105599},
};

// The decoded time shows in full in the difference from a clock at 0, and
// the clock is set to it where the kernel can hold it (before April 2232).
void expect_decoded(const PayloadCase &c)
{
    start_afresh();
    StdoutCapture out;
    check_time_update(0xD500, c.data.data(), 8);
    EXPECT_EQ(out.text(), "Time diffence is " + std::to_string(c.expected * 1000) +
                              "ms\nSetting system clock\n");
    if (c.expected < 8277292036) {
        EXPECT_EQ(fakebus_now().tv_sec, c.expected);
    }
    EXPECT_EQ(fakebus_now().tv_nsec, 0);
}

TEST_F(FrameTest, PayloadBecomesReceivedTime)
{
    testing::internal::CaptureStderr();  // the kernel refuses 2235
    for (const auto &c : payload_cases) {
        SCOPED_TRACE(c.name);
        use_zone(c.zone);
        expect_decoded(c);
    }
    testing::internal::GetCapturedStderr();
}

// Every day of a leap year and of a common one, the last of each month
// among them, and every even one that a shifted day field would move.
TEST_F(FrameTest, EveryDayOfTheYearIsReadBack)
{
    for (const int year : {2023, 2024}) {
        for (int month = 1; month <= 12; ++month) {
            for (int day = 1; day <= 31; ++day) {
                tm fields{};
                fields.tm_year = year - 1900;
                fields.tm_mon = month - 1;
                fields.tm_mday = day;
                fields.tm_hour = 23;
                fields.tm_min = 59;
                fields.tm_sec = 58;
                const time_t expected = timegm(&fields);
                if (fields.tm_mday != day)
                    break;  // past the month's end
                SCOPED_TRACE(testing::Message() << year << "-" << month << "-" << day);
                expect_decoded({"", "UTC0",
                                {0xEB, 59, 23, static_cast<uint8_t>(month),
                                 static_cast<uint8_t>(day << 2 | (day & 3)),
                                 static_cast<uint8_t>(year - 1985), 0, 0},
                                expected});
            }
        }
    }
}

struct IgnoredCase {
    const char *name;
    uint16_t pgn;
    std::vector<uint8_t> data;
    uint8_t length;
    const char *zone = "UTC0";
};

const IgnoredCase ignored_cases[] = {
    {"another PGN", 0xFEE6, {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0}, 8},
    {"time/date sent to the global address", 0xD5FF,
     {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0}, 8},
    {"all not-available", 0xD500, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 8},
    {"seconds not available", 0xD500, {0xFF, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0}, 8},
    {"year in error", 0xD500, {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0xFE, 0, 0}, 8},
    {"reserved 0xFB in hours", 0xD500, {0x78, 0x1E, 0xFB, 0x06, 0x3C, 0x27, 0, 0}, 8},
    // Past each field's range: mktime would carry them into the next field.
    {"seconds 60", 0xD500, {0xF0, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0}, 8},
    {"minutes 60", 0xD500, {0x78, 0x3C, 0x0C, 0x06, 0x3C, 0x27, 0, 0}, 8},
    {"hours 24", 0xD500, {0x78, 0x1E, 0x18, 0x06, 0x3C, 0x27, 0, 0}, 8},
    {"hours 48", 0xD500, {0x78, 0x1E, 0x30, 0x06, 0x3C, 0x27, 0, 0}, 8},
    {"month 0", 0xD500, {0x78, 0x1E, 0x0C, 0x00, 0x3C, 0x27, 0, 0}, 8},
    {"month 13", 0xD500, {0x78, 0x1E, 0x0C, 0x0D, 0x3C, 0x27, 0, 0}, 8},
    {"day 0", 0xD500, {0x78, 0x1E, 0x0C, 0x06, 0x03, 0x27, 0, 0}, 8},
    {"day 32", 0xD500, {0x78, 0x1E, 0x0C, 0x01, 0x80, 0x27, 0, 0}, 8},
    {"31 June", 0xD500, {0x78, 0x1E, 0x0C, 0x06, 0x7C, 0x27, 0, 0}, 8},
    {"29 February 2023", 0xD500, {0x78, 0x1E, 0x0C, 0x02, 0x74, 0x26, 0, 0}, 8},
    {"29 February 2100, no leap year", 0xD500, {0x78, 0x1E, 0x0C, 0x02, 0x74, 0x73, 0, 0},
     8},
    {"highest valid bytes", 0xD500, {0xFA, 0xFA, 0xFA, 0xFA, 0xFA, 0xFA, 0, 0}, 8},
    {"too short for the time fields", 0xD500, {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0},
     5},
    {"empty frame", 0xD500, {0, 0, 0, 0, 0, 0, 0, 0}, 0},
    // Months that have no days, whatever day comes with them.
    {"month 0xFF, the rest valid", 0xD500, {0x78, 0x1E, 0x0C, 0xFF, 0x04, 0x27, 0, 0}, 8},
    {"month 0, day 1", 0xD500, {0x78, 0x1E, 0x0C, 0x00, 0x04, 0x27, 0, 0}, 8},
    {"month 13, day 1", 0xD500, {0x78, 0x1E, 0x0C, 0x0D, 0x04, 0x27, 0, 0}, 8},
    // The sender's local time, whose zone the bus does not carry.
    {"local time (local hour offset 0xFA)", 0xD500,
     {0x78, 0x1E, 0x0E, 0x06, 0x3C, 0x27, 0x7D, 0xFA}, 8},
    // Read as standard time while the zone keeps daylight saving time, the
    // first and last minutes of the payload's years move out of them.
    {"1985-01-01 00:30 under a negative winter DST", 0xD500,
     {0x00, 0x1E, 0x00, 0x01, 0x04, 0x00, 0, 0}, 8, "IST-1GMT0,M10.5.0,M3.5.0/1"},
    {"2235-12-31 23:30 in a southern summer", 0xD500, {0x00, 0x1E, 0x17, 0x0C, 0x7C, 0xFA, 0, 0},
     8, "AEST-10AEDT,M10.1.0,M4.1.0/3"},
};

TEST_F(FrameTest, FramesWithoutATimeAreIgnored)
{
    testing::internal::CaptureStderr();
    for (const auto &c : ignored_cases) {
        SCOPED_TRACE(c.name);
        use_zone(c.zone);
        StdoutCapture out;
        check_time_update(c.pgn, c.data.data(), c.length);
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(fakebus_now().tv_sec, 0);
        EXPECT_EQ(fakebus_adjtime_count(), 0u);
    }
    testing::internal::GetCapturedStderr();
}

// Local time is named once for each sender, so that the user can change the
// sender's setting, and never again to fill the log; offsets that are given,
// or "not available", leave a frame as it is.
TEST_F(FrameTest, LocalTimeIsNamedOnceForEachSender)
{
    const uint8_t local[8] = {0x78, 0x1E, 0x0E, 0x06, 0x3C, 0x27, 0x7D, 0xFA};
    testing::internal::CaptureStderr();
    StdoutCapture out;
    for (const uint8_t sender : {0x25, 0x25, 0x26, 0x25})
        check_time_update(0xD500, local, 8, nullptr, sender);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string line = std::string(program_invocation_short_name) +
                             ": sender 0x%02X sends local time (local hour offset 0xFA), "
                             "not UTC: its time/date frames are ignored\n";
    char expected[512];
    snprintf(expected, sizeof expected, (line + line).c_str(), 0x25, 0x26);
    EXPECT_EQ(err, expected);
    EXPECT_EQ(out.text(), "");

    // A frame of 7 bytes sends no byte 7, whatever the buffer holds there.
    start_afresh();
    check_time_update(0xD500, local, 7, nullptr, 0x27);
    EXPECT_EQ(fakebus_now().tv_sec, june_15_2024_123030_utc + 7200);

    for (const uint8_t offsets : {0x7D, 0xF9, 0xFB, 0xFF}) {
        SCOPED_TRACE(testing::Message() << "byte 7 " << int{offsets});
        start_afresh();
        const uint8_t data[8] = {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0xFF, offsets};
        check_time_update(0xD500, data, 8, nullptr, 0x25);
        EXPECT_EQ(fakebus_now().tv_sec, june_15_2024_123030_utc);
    }
}

struct ArrivalCase {
    const char *name;
    bool stamped;
    int64_t age_ns;     // how long before it was handled the frame arrived
    long maxerror_us;   // of the mark after the set; 0: ignored, nothing set
};

// A frame that waited in the queue carries a time already past: the clock
// is set to it plus the wait, which adds to the error the kernel is told. A stamp ahead of the clock
// means the clock was stepped back since: how long it waited is unknown.
const ArrivalCase arrival_cases[] = {
    {"no stamp counts as fresh", false, 0, 1000000},
    {"handled at once", true, 0, 1000000},
    {"waited half a second", true, 500000000, 1500000},
    {"waited exactly a second", true, 1000000000, 2000000},
    {"waited a nanosecond more", true, 1000000001, 0},
    {"daemon stopped for 5 s", true, 5000000000, 0},
    {"stamped a nanosecond ahead of the clock", true, -1, 0},
    {"clock stepped back since", true, -1001000000, 0},
    {"a stamp centuries away", true, int64_t{1} << 62, 0},
};

TEST_F(FrameTest, OnlyFreshFramesReachTheClock)
{
    const uint8_t data[8] = {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0};
    for (const auto &c : arrival_cases) {
        SCOPED_TRACE(c.name);
        start_afresh();
        const timespec now{june_15_2024_123030_utc + 5, 250000000};
        fakebus_set_now(&now);
        const timespec arrival{now.tv_sec - static_cast<time_t>(c.age_ns / 1000000000),
                               now.tv_nsec - static_cast<long>(c.age_ns % 1000000000)};
        const timespec normalised =
            arrival.tv_nsec < 0 ? timespec{arrival.tv_sec - 1, arrival.tv_nsec + 1000000000}
            : arrival.tv_nsec >= 1000000000
                ? timespec{arrival.tv_sec + 1, arrival.tv_nsec - 1000000000}
                : arrival;
        StdoutCapture out;
        check_time_update(0xD500, data, 8, c.stamped ? &normalised : nullptr);
        if (c.maxerror_us != 0) {
            const timespec clock = fakebus_now();
            EXPECT_EQ(clock.tv_sec, june_15_2024_123030_utc + c.age_ns / 1000000000);
            EXPECT_EQ(clock.tv_nsec, c.age_ns % 1000000000);
            EXPECT_EQ(fakebus_ntp_state().maxerror, c.maxerror_us);
        } else {
            EXPECT_EQ(fakebus_now().tv_sec, now.tv_sec);
            EXPECT_EQ(out.text(), "");
            EXPECT_EQ(fakebus_adjtime_count(), 0u);
        }
    }
}

TEST_F(FrameTest, FailedConversionNeverSetsTheClock)
{
    // As mktime does with a 32-bit time_t past 2038.
    fakebus_fail_mktime(1);
    const uint8_t data[8] = {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0};
    StdoutCapture out;
    check_time_update(0xD500, data, 8);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(fakebus_adjtime_count(), 0u);
}

TEST_F(FrameTest, ComparesWithTheRealTimeClock)
{
    TimeDrift = 2000;
    const timespec now{june_15_2024_123030_utc + 1, 500000000};
    fakebus_set_now(&now);
    const uint8_t data[8] = {0x78, 0x1E, 0x0C, 0x06, 0x3C, 0x27, 0, 0};
    StdoutCapture out;
    check_time_update(0xD500, data, 8);
    EXPECT_EQ(out.text(), "Time diffence is 1500ms\n");
}

}  // namespace
