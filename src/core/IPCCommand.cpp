#include "core/IPCCommand.h"

#include <simdjson.h>

#include <array>
#include <utility>

namespace talvex {

namespace {

// UTF-8 encodings of every character that counts as white space or a line
// end: the separators (categories Zs, Zl, Zp), the ASCII controls from tab to
// carriage return, and NEXT LINE. Matching whole encodings means stray bytes
// of broken input are never mistaken for white space.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",      // U+0085 next line
    "\xC2\xA0",      // U+00A0 no-break space
    "\xE1\x9A\x80",  // U+1680 ogham space mark
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A",  // U+2000..U+200A
    "\xE2\x80\xA8",  // U+2028 line separator
    "\xE2\x80\xA9",  // U+2029 paragraph separator
    "\xE2\x80\xAF",  // U+202F narrow no-break space
    "\xE2\x81\x9F",  // U+205F medium mathematical space
    "\xE3\x80\x80",  // U+3000 ideographic space
};

// Characters outside ASCII whose upper case is plain ASCII letters, so that a
// verb written with them still matches under full Unicode upper-casing.
constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kSpecialUpper = {{
    {"\xC4\xB1", "I"},       // dotless i
    {"\xC5\xBF", "S"},       // long s
    {"\xEF\xAC\x80", "FF"},  // ligatures ff, fi, fl, ffi, ffl, long st, st
    {"\xEF\xAC\x81", "FI"},
    {"\xEF\xAC\x82", "FL"},
    {"\xEF\xAC\x83", "FFI"},
    {"\xEF\xAC\x84", "FFL"},
    {"\xEF\xAC\x85", "ST"},
    {"\xEF\xAC\x86", "ST"},
}};

std::size_t whiteSpacePrefix(std::string_view text) {
    for (auto space : kWhiteSpace)
        if (text.starts_with(space)) return space.size();
    return 0;
}

std::size_t whiteSpaceSuffix(std::string_view text) {
    for (auto space : kWhiteSpace)
        if (text.ends_with(space)) return space.size();
    return 0;
}

std::string_view trimmed(std::string_view text) {
    while (auto n = whiteSpacePrefix(text)) text.remove_prefix(n);
    while (auto n = whiteSpaceSuffix(text)) text.remove_suffix(n);
    return text;
}

// Upper case as far as it matters for comparing with the ASCII verbs.
std::string upperVerb(std::string_view verb) {
    std::string upper;
    upper.reserve(verb.size());
    while (!verb.empty()) {
        bool mapped = false;
        for (auto [from, to] : kSpecialUpper) {
            if (verb.starts_with(from)) {
                upper += to;
                verb.remove_prefix(from.size());
                mapped = true;
                break;
            }
        }
        if (mapped) continue;
        char c = verb.front();
        upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
        verb.remove_prefix(1);
    }
    return upper;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace

bool isCommandText(std::string_view bytes) {
    return !bytes.empty() && simdjson::validate_utf8(bytes.data(), bytes.size());
}

std::string trimCommandText(std::string_view text) {
    return std::string(trimmed(text));
}

IPCCommand parseCommand(std::string_view text) {
    std::string_view line = trimmed(text);
    // Only U+0020 separates: everything after the first space is the argument
    // text, with any further spacing kept exactly as sent.
    auto space = line.find(' ');
    std::string verb = upperVerb(line.substr(0, space));
    std::optional<std::string_view> arguments;
    if (space != std::string_view::npos) arguments = line.substr(space + 1);

    if (verb == "START") {
        StartCommand start{std::nullopt, std::string(kRemoteInitiator)};
        if (arguments && !arguments->empty()) start.sessionName = std::string(*arguments);
        return start;
    }
    if (verb == "STOP") return StopCommand{};
    if (verb == "ANIMATION")
        return AnimationCommand{std::string(arguments ? *arguments : kUnnamedAnimation)};
    return UnknownCommand{std::string(line)};
}

std::string describeCommand(const IPCCommand& command) {
    struct Describe {
        std::string operator()(const StartCommand& c) const {
            return "start(" + (c.sessionName ? quoted(*c.sessionName) : "no name") + ", " +
                   quoted(c.initiatedBy) + ")";
        }
        std::string operator()(const StopCommand&) const { return "stop"; }
        std::string operator()(const AnimationCommand& c) const {
            return "animation(" + quoted(c.name) + ")";
        }
        std::string operator()(const UnknownCommand& c) const {
            return "unknown(" + quoted(c.text) + ")";
        }
    };
    return std::visit(Describe{}, command);
}

}  // namespace talvex
