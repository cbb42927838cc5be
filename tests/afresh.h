// Each test starts from a world and a daemon as at start-up: the stand-in's
// clock and bus, the steps seen, the senders named, and what the operator
// was told.
#pragma once

#include "fakebus.h"
#include "../clock.h"
#include "../pgnclock.h"
#include "../report.h"

inline void start_afresh()
{
    fakebus_reset();
    clock_watch_start();
    report_reset();
    handler_reset();
}
