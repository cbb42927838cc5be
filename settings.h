// The daemon's keys, read through cConfig (config/) into the settings that
// pgnclock.h declares (settings.cpp).
#pragma once

#include "config/config.h"

#include <string>

// The daemon's settings, every key and its checks in one place.
//
// Loads the file at path into config and reads TimePGN and TimeDrift from
// it. A value that cannot be used is named on standard error and its default
// applies; a file that exists but cannot be read stops the process with
// status 1.
void read_settings(cConfig &config, const std::string &path);

// Then reads who may set the clock into TimeSource, TimeInterface and
// LocalFrames, and ChronySocket, whose loss would have the daemon set the
// clock itself. A value that names nothing, or one that would not count, stops
// the process with status 1: silently dropped, it would widen who may set
// the clock while the user believes otherwise.
void read_source_settings(const cConfig &config, const std::string &path);
