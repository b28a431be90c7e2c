#pragma once

#include "app/StationOptions.h"

namespace talvex {

// Runs the station without a window until SIGINT or SIGTERM; a running
// session is stopped and its files finished before it returns 0. When the
// command port cannot listen it stops the same way and returns 1.
int runHeadlessStation(const StationOptions& options);

}  // namespace talvex
