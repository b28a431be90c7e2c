// Feeds arbitrary bytes to the command parser and checks the rules every
// result must obey, whatever the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/IPCCommand.h"

using namespace talvex;

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    bool isText = isCommandText(text);
    std::string trimmed = trimCommandText(text);
    IPCCommand command = parseCommand(text);

    // Trimming is idempotent, only removes, and parsing sees the trimmed text.
    require(trimCommandText(trimmed) == trimmed);
    require(text.find(trimmed) != std::string_view::npos);
    require(parseCommand(trimmed) == command);
    // A valid text stays valid once trimmed (only whole characters are cut).
    if (isText && !trimmed.empty()) require(isCommandText(trimmed));

    if (auto* start = std::get_if<StartCommand>(&command)) {
        require(start->initiatedBy == "Lumetra Program");
        if (start->sessionName)
            require(!start->sessionName->empty() && trimmed.ends_with(*start->sessionName));
    } else if (auto* animation = std::get_if<AnimationCommand>(&command)) {
        require(animation->name == "unknown" || trimmed.ends_with(" " + animation->name));
    } else if (auto* unknown = std::get_if<UnknownCommand>(&command)) {
        require(unknown->text == trimmed);
    }
    require(!describeCommand(command).empty());
    return 0;
}
