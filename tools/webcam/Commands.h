#pragma once

// What the runner does to the cameras while the command runs: the control
// commands a test sends, and the configured unplugs, replugs and holds when
// they fall due.

#include <string>

#include "Config.h"
#include "SharedState.h"
#include "TruthLog.h"

namespace webcam {

struct Bus {
    const WebcamConfig& config;
    SharedState& shared;
    TruthLog& truth;
};

// "unplug CAM", "replug CAM", "hold CAM", "release CAM", "lowlight CAM on|off",
// "status". The answer: "ok" (status lines before it) or "error TEXT".
std::string applyCommand(Bus& bus, const std::string& line);

// Plugs the cameras configured as plugged and holds those configured as held.
void plugInitially(Bus& bus);
// Carries out whatever has fallen due.
void runSchedule(Bus& bus);

}  // namespace webcam
