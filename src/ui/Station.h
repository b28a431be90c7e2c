#pragma once

namespace talvex {

// Creates the application object (a window application, or a plain one for
// --headless, --help and --version, which need no display), parses the
// options and runs the station until it quits.
int runStation(int argc, char** argv);

}  // namespace talvex
