#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace talvex {

// The commands Lumetra sends over the command port. Every received text
// becomes exactly one of these.
struct StartCommand {
    std::optional<std::string> sessionName;
    std::string initiatedBy;
    bool operator==(const StartCommand&) const = default;
};

struct StopCommand {
    bool operator==(const StopCommand&) const = default;
};

struct AnimationCommand {
    std::string name;
    bool operator==(const AnimationCommand&) const = default;
};

struct UnknownCommand {
    std::string text;  // trimmed, in the case it was sent
    bool operator==(const UnknownCommand&) const = default;
};

using IPCCommand = std::variant<StartCommand, StopCommand, AnimationCommand, UnknownCommand>;

inline constexpr std::string_view kRemoteInitiator = "Lumetra Program";
inline constexpr std::string_view kUnnamedAnimation = "unknown";

// Whether received bytes form a command text at all: not empty and valid UTF-8
// as a whole. Anything else is dropped without a reply.
bool isCommandText(std::string_view bytes);

// Removes Unicode white space and line ends from both ends. Bytes that are not
// valid UTF-8 are kept as they are.
std::string trimCommandText(std::string_view text);

// Turns one received text into a command. Pure; accepts any bytes.
IPCCommand parseCommand(std::string_view text);

// One readable line for diagnostics and test output, e.g. start("x", "Lumetra Program").
std::string describeCommand(const IPCCommand& command);

}  // namespace talvex
