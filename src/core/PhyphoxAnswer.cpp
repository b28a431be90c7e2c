#include "core/PhyphoxAnswer.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <limits>

namespace talvex {

namespace dom = simdjson::dom;
namespace ondemand = simdjson::ondemand;

struct PhyphoxAnswer::Parser {
    dom::parser dom;
    ondemand::parser onDemand;
};

namespace {

constexpr std::string_view kTimeName = "gyr_time";
constexpr std::string_view kXName = "gyrX";
constexpr std::string_view kYName = "gyrY";
constexpr std::string_view kZName = "gyrZ";
constexpr std::array<std::string_view, 4> kBufferNames = {kTimeName, kXName, kYName, kZName};

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

// Fills out with the numbers of the array, null (the phone's NaN or infinity)
// as a missing value, or leaves it empty when one element is anything else.
void readNumbers(dom::object buffers, std::string_view name, std::vector<double>& out) {
    dom::array array;
    if (buffers[name]["buffer"].get_array().get(array)) return;
    out.reserve(array.size());
    for (dom::element element : array) {
        double value;
        if (element.is_null()) {
            value = kMissing;
        } else if (element.get_double().get(value) || !std::isfinite(value)) {
            out.clear();
            return;
        }
        out.push_back(value);
    }
}

PhyphoxAnswer::UpdateMode readMode(dom::object buffers) {
    std::string_view mode;
    if (buffers[kTimeName]["updateMode"].get_string().get(mode))
        return PhyphoxAnswer::UpdateMode::other;
    return PhyphoxAnswer::parseMode(mode);
}

bool readMeasuring(dom::object root) {
    bool measuring = false;
    if (root["status"]["measuring"].get_bool().get(measuring)) return false;
    return measuring;
}

// The slower reader for answers that are JSON but hold a number out of the
// double range (1e999), which the fast reader refuses as a whole: such a
// number only empties its own array, like any other non-number.
class LenientReader {
public:
    LenientReader(ondemand::parser& parser, PhyphoxAnswer::Buffers& buffers)
        : parser_(parser), buffers_(buffers) {}

    PhyphoxAnswer::Poll read(const std::string& body) {
        simdjson::padded_string padded(body);
        ondemand::document document;
        ondemand::object root;
        if (parser_.iterate(padded).get(document) || document.get_object().get(root))
            return PhyphoxAnswer::Poll::unreadable;
        bool anyKey = false, haveBuffer = false, haveStatus = false, measuring = false;
        for (auto&& result : root) {
            ondemand::field field;
            std::string_view key;
            if (std::move(result).get(field) || field.unescaped_key().get(key))
                return PhyphoxAnswer::Poll::unreadable;
            anyKey = true;
            if (key == "buffer" && !haveBuffer) {
                haveBuffer = true;
                ondemand::object buffers;
                if (field.value().get_object().get(buffers) || !readBuffers(buffers))
                    return PhyphoxAnswer::Poll::unreadable;
            } else if (key == "status" && !haveStatus) {
                haveStatus = true;
                measuring = readMeasuring(field.value());
            }
        }
        if (!anyKey || !haveBuffer) return PhyphoxAnswer::Poll::unreadable;
        return measuring ? PhyphoxAnswer::Poll::measuring : PhyphoxAnswer::Poll::notMeasuring;
    }

private:
    static int index(std::string_view name) {
        for (int i = 0; i < 4; ++i)
            if (kBufferNames[i] == name) return i;
        return -1;
    }

    bool readBuffers(ondemand::object buffers) {
        std::array<std::vector<double>*, 4> arrays = {&buffers_.time, &buffers_.x, &buffers_.y,
                                                      &buffers_.z};
        std::array<bool, 4> seen{};
        for (auto&& result : buffers) {
            ondemand::field field;
            std::string_view key;
            if (std::move(result).get(field) || field.unescaped_key().get(key)) return false;
            const int which = index(key);
            if (which < 0 || seen[which]) continue;
            seen[which] = true;
            ondemand::object buffer;
            if (field.value().get_object().get(buffer)) continue;
            if (!readBuffer(buffer, *arrays[which], which == 0 ? &buffers_.mode : nullptr))
                return false;
        }
        return true;
    }

    // False only when the document itself turns out broken.
    static bool readBuffer(ondemand::object buffer, std::vector<double>& out,
                           PhyphoxAnswer::UpdateMode* mode) {
        for (auto&& result : buffer) {
            ondemand::field field;
            std::string_view key;
            if (std::move(result).get(field) || field.unescaped_key().get(key)) return false;
            std::string_view text;
            if (key == "updateMode" && mode && !field.value().get_string().get(text))
                *mode = PhyphoxAnswer::parseMode(text);
            if (key != "buffer") continue;
            ondemand::array array;
            if (field.value().get_array().get(array)) continue;
            if (!readElements(array, out)) return false;
        }
        return true;
    }

    static bool readElements(ondemand::array array, std::vector<double>& out) {
        bool numbers = true;
        for (auto&& result : array) {
            ondemand::value element;
            if (std::move(result).get(element)) return false;
            if (!numbers) continue;
            ondemand::json_type type;
            double value = kMissing;
            if (element.type().get(type)) return false;
            numbers = type == ondemand::json_type::null ||
                      (type == ondemand::json_type::number && !element.get_double().get(value) &&
                       std::isfinite(value));
            if (numbers) out.push_back(value);
        }
        if (!numbers) out.clear();
        return true;
    }

    static bool readMeasuring(ondemand::value status) {
        ondemand::object object;
        if (status.get_object().get(object)) return false;
        for (auto&& result : object) {
            ondemand::field field;
            std::string_view key;
            if (std::move(result).get(field) || field.unescaped_key().get(key)) return false;
            if (key != "measuring") continue;
            bool measuring = false;
            return !field.value().get_bool().get(measuring) && measuring;
        }
        return false;
    }

    ondemand::parser& parser_;
    PhyphoxAnswer::Buffers& buffers_;
};

}  // namespace

PhyphoxAnswer::PhyphoxAnswer() : parser_(std::make_unique<Parser>()) {}
PhyphoxAnswer::~PhyphoxAnswer() = default;

PhyphoxAnswer::Poll PhyphoxAnswer::readPoll(const std::string& body) {
    for (auto* array : {&buffers_.time, &buffers_.x, &buffers_.y, &buffers_.z}) array->clear();
    buffers_.mode = UpdateMode::other;
    dom::element root;
    const simdjson::error_code error = parser_->dom.parse(body).get(root);
    if (error == simdjson::NUMBER_ERROR) {
        const Poll poll = LenientReader(parser_->onDemand, buffers_).read(body);
        if (poll == Poll::unreadable) buffers_ = {};
        return poll;
    }
    dom::object object;
    dom::object buffers;
    if (error || root.get_object().get(object) || object.begin() == object.end() ||
        object["buffer"].get_object().get(buffers))
        return Poll::unreadable;
    readNumbers(buffers, kTimeName, buffers_.time);
    readNumbers(buffers, kXName, buffers_.x);
    readNumbers(buffers, kYName, buffers_.y);
    readNumbers(buffers, kZName, buffers_.z);
    buffers_.mode = readMode(buffers);
    return readMeasuring(object) ? Poll::measuring : Poll::notMeasuring;
}

PhyphoxAnswer::UpdateMode PhyphoxAnswer::parseMode(std::string_view text) {
    if (text == "full") return UpdateMode::full;
    if (text == "partial") return UpdateMode::partial;
    if (text == "single") return UpdateMode::single;
    return UpdateMode::other;
}

std::optional<std::vector<PhyphoxAnswer::TimeEvent>> PhyphoxAnswer::readTimeRecord(
    std::string_view body) {
    dom::parser parser;
    dom::array list;
    if (parser.parse(body.data(), body.size()).get_array().get(list)) return std::nullopt;
    std::vector<TimeEvent> events;
    for (dom::element entry : list) {
        std::string_view event;
        TimeEvent e;
        if (entry["event"].get_string().get(event) ||
            entry["experimentTime"].get_double().get(e.experimentTime) ||
            entry["systemTime"].get_double().get(e.systemTime) || !std::isfinite(e.systemTime))
            continue;
        e.start = event == "START";
        if (e.start || event == "PAUSE") events.push_back(e);
    }
    return events;
}

std::optional<std::string> PhyphoxAnswer::baseUrl(std::string_view address) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!address.empty() && blank(address.front())) address.remove_prefix(1);
    while (!address.empty() && blank(address.back())) address.remove_suffix(1);
    constexpr std::string_view kScheme = "http://";
    if (address.size() >= kScheme.size() &&
        std::equal(kScheme.begin(), kScheme.end(), address.begin(),
                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); }))
        address.remove_prefix(kScheme.size());
    while (!address.empty() && address.back() == '/') address.remove_suffix(1);
    if (address.empty()) return std::nullopt;
    return std::string(kScheme) + std::string(address);
}

std::optional<PhyphoxAnswer::Config> PhyphoxAnswer::readConfig(std::string_view body) {
    dom::parser parser;
    dom::object root;
    if (parser.parse(body.data(), body.size()).get_object().get(root)) return std::nullopt;
    Config config;
    dom::array list;
    dom::object buffer;
    if (!root["buffers"].get_array().get(list) &&
        std::all_of(list.begin(), list.end(), [](dom::element e) { return e.is_object(); })) {
        config.bufferNames.emplace();
        for (dom::element entry : list) {
            std::string_view name;
            if (!entry["name"].get_string().get(name)) config.bufferNames->emplace_back(name);
        }
    } else if (!root["buffer"].get_object().get(buffer)) {
        config.bufferNames.emplace();
        for (dom::key_value_pair member : buffer) config.bufferNames->emplace_back(member.key);
    }
    return config;
}

std::string PhyphoxAnswer::formatNames(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += ", ";
        text += '"' + names[i] + '"';
    }
    return text + "]";
}

std::string_view PhyphoxAnswer::firstCharacters(std::string_view text, std::size_t count) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool startsCharacter = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        if (startsCharacter && characters++ == count) return text.substr(0, i);
    }
    return text;
}

}  // namespace talvex
