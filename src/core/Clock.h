#pragma once

namespace talvex {

// Seconds on a clock that never steps: every instant that is subtracted from
// another (session start, sample times) comes from here.
double steadyNow();

// Seconds since the Unix epoch: only for dates written into files and names.
double wallNow();

}  // namespace talvex
