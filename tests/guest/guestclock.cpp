// Reads or sets CLOCK_REALTIME with a 64-bit time_t, for the system tests in
// the test guest: the guest's own date tool may have a 32-bit time_t and
// show years past 2038 as 1970.
//
// usage: guestclock get          prints "SECONDS YYYY-MM-DD HH:MM:SS" (UTC)
//        guestclock set SECONDS  sets the clock; only inside the test guest
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int main(int argc, char *argv[])
{
    if (argc == 2 && strcmp(argv[1], "get") == 0) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        tm utc{};
        char text[64] = "?";
        if (gmtime_r(&now.tv_sec, &utc))
            strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
        printf("%" PRId64 " %s\n", static_cast<int64_t>(now.tv_sec), text);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "set") == 0) {
        // A guard against running it anywhere but in the guest by mistake.
        if (!getenv("PGNCLOCK_TEST_GUEST")) {
            fprintf(stderr, "guestclock: refusing to set a clock outside the test guest\n");
            return 2;
        }
        char *end = nullptr;
        errno = 0;
        const long long seconds = strtoll(argv[2], &end, 10);
        if (errno != 0 || *end != '\0') {
            fprintf(stderr, "guestclock: not a number of seconds: %s\n", argv[2]);
            return 2;
        }
        const timespec target{static_cast<time_t>(seconds), 0};
        if (clock_settime(CLOCK_REALTIME, &target) != 0) {
            perror("guestclock: clock_settime");
            return 1;
        }
        return 0;
    }
    fprintf(stderr, "usage: guestclock get | guestclock set SECONDS\n");
    return 2;
}
