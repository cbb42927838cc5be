#include "pgnclock.h"

#include <err.h>

#include <iostream>

uint16_t TimePGN;
uint64_t TimeDrift;

j1939_addr_t::j1939_addr_t(uint32_t can_id)
    : source_address(can_id & 0xFF),
      pgn((can_id >> 8) & 0xFFFF),
      priority((can_id >> 26) & 0x7),
      data_page((can_id >> 24) & 0x3)
{
}

// Years since 1900 that the one-byte year field can express.
static constexpr int first_year = 85;
static constexpr int last_year = 85 + 0xFA;

// J1939 reserves 0xFB-0xFF in a one-byte parameter for "error" and "not
// available"; no time/date field has a valid value up there.
static bool carries_time(const uint8_t *data)
{
    for (int i = 0; i < 6; ++i)
        if (data[i] >= 0xFB)
            return false;
    return true;
}

void check_time_update(uint16_t pgn, const uint8_t *data, uint8_t len)
{
    if (pgn != TimePGN)
        return;
    // A frame too short for the six time fields would be read from stale or
    // padding bytes, and a node without a time fix sends all 0xFF: either,
    // taken at face value, sets the clock years away.
    if (len < 6 || !carries_time(data))
        return;

    tm received_tm{};
    received_tm.tm_sec = data[0] >> 2;  // 0.25 s per bit
    received_tm.tm_min = data[1];
    received_tm.tm_hour = data[2];
    received_tm.tm_mon = data[3] - 1;
    received_tm.tm_mday = data[4] >> 2;  // 0.25 day per bit
    received_tm.tm_year = data[5] + 85;  // offset 1985
    received_tm.tm_isdst = 0;

    const time_t received_sec = mktime(&received_tm);
    // The bus time cannot lie before 1985, so -1 is a failed conversion,
    // never 1969-12-31 23:59:59.
    if (received_sec == static_cast<time_t>(-1))
        return;
    // Out-of-range fields are normalised, but a date pushed outside the
    // years the payload can express (1985-2235) is garbage, not a time.
    if (received_tm.tm_year < first_year || received_tm.tm_year > last_year)
        return;

    const timespec received{received_sec, 0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    check_and_set_time(now, received);
}

// Unsigned arithmetic wraps where signed would be undefined, and gives the
// same bits for every time the clock can actually hold.
static uint64_t to_milliseconds(const timespec &t)
{
    return static_cast<uint64_t>(t.tv_sec) * 1000u +
           static_cast<uint64_t>(t.tv_nsec / 1000000);
}

void check_and_set_time(const timespec &now, const timespec &received)
{
    const uint64_t now_ms = to_milliseconds(now);
    const uint64_t received_ms = to_milliseconds(received);
    const uint64_t difference =
        now_ms > received_ms ? now_ms - received_ms : received_ms - now_ms;

    std::cout << "Time diffence is " << difference << "ms" << std::endl;
    if (difference < TimeDrift)
        return;

    std::cout << "Setting system clock" << std::endl;
    const timespec target{received.tv_sec, 0};
    if (clock_settime(CLOCK_REALTIME, &target) != 0)
        warn("clock_settime()");
}
