// pgnclock-clear-discipline: run as root before the daemon starts, where no
// other time daemon runs (the unit conflicts with them). A daemon that has
// stopped leaves its discipline flag in the kernel (systemd-timesyncd:
// STA_PLL), and while it is set pgnclock leaves the synchronisation state
// alone: the clock would stay unmarked until the next boot. No options.
#include "pgnclock.h"
#include "clock.h"

#include <sys/timex.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main()
{
    const int cleared = clear_discipline();
    if (cleared < 0) {
        fprintf(stderr, "pgnclock-clear-discipline: clock_adjtime: %s\n", strerror(errno));
        return 1;
    }
    if (cleared != 0)
        printf("pgnclock-clear-discipline: cleared %s left by a time daemon that is gone\n",
               cleared == (STA_PLL | STA_FLL) ? "STA_PLL and STA_FLL"
               : cleared == STA_PLL           ? "STA_PLL"
                                              : "STA_FLL");
    return 0;
}
