#include "core/CameraNameRegistry.h"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "core/FileUtil.h"
#include "core/Log.h"

namespace talvex {

namespace {

// Collects every member of the top-level object whose value is a string, up
// to the first point where the text stops being JSON, and counts the others.
class NameCollector : public nlohmann::json_sax<nlohmann::json> {
public:
    std::map<std::string, std::string> names;
    int badEntries = 0;
    bool notAnObject = false;
    std::string parseError;

    bool null() override { return other(); }
    bool boolean(bool) override { return other(); }
    bool number_integer(number_integer_t) override { return other(); }
    bool number_unsigned(number_unsigned_t) override { return other(); }
    bool number_float(number_float_t, const string_t&) override { return other(); }
    bool binary(binary_t&) override { return other(); }
    bool string(string_t& value) override {
        if (depth_ == 0) return noObject();
        if (depth_ == 1) names[key_] = value;
        return true;
    }
    bool key(string_t& value) override {
        if (depth_ == 1) key_ = value;
        return true;
    }
    bool start_object(std::size_t) override { return open(); }
    bool start_array(std::size_t) override { return depth_ == 0 ? noObject() : open(); }
    bool end_object() override { return --depth_, true; }
    bool end_array() override { return --depth_, true; }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        parseError = e.what();
        return false;
    }

private:
    bool other() { return depth_ == 0 ? noObject() : (depth_ == 1 && ++badEntries, true); }
    bool open() {
        if (depth_ == 1) ++badEntries;
        ++depth_;
        return true;
    }
    bool noObject() {
        notAnObject = true;
        return false;
    }

    int depth_ = 0;
    std::string key_;
};

}  // namespace

CameraNameRegistry::CameraNameRegistry(std::string filePath) : filePath_(std::move(filePath)) {
    if (filePath_.empty()) return;
    files_ = std::make_unique<FileWriteQueue>("talvex.names");
    // A folder that cannot be made only means the names are not kept.
    makeDirectories(std::filesystem::path(filePath_).parent_path().string());
    load();
}

void CameraNameRegistry::load() {
    SmallFile file = readSmallFile(filePath_, kSmallFileCap);
    if (file.status == SmallFile::Status::skipped) {
        // Its names may still be there: never replace them with fewer.
        logLine("Talvex: camera names are not saved this run, so " + filePath_ + " stays as it is");
        keepFile_ = true;
        return;
    }
    if (file.status == SmallFile::Status::missing) return;
    NameCollector collector;
    nlohmann::json::sax_parse(file.bytes, &collector);
    store_ = std::move(collector.names);
    if (collector.notAnObject)
        logLine("Talvex: " + filePath_ + " holds no object of camera names, starting empty");
    else if (!collector.parseError.empty())
        logLine("Talvex: " + filePath_ + " is broken, keeping the " +
                std::to_string(store_.size()) +
                " camera names before the break: " + collector.parseError);
    if (collector.badEntries > 0)
        logLine("Talvex: dropped " + std::to_string(collector.badEntries) +
                " camera names that are not texts from " + filePath_);
}

std::string CameraNameRegistry::displayName(const std::string& id, const std::string& systemName) {
    if (auto found = store_.find(id); found != store_.end()) return found->second;
    store_[id] = systemName;
    save();
    return systemName;
}

void CameraNameRegistry::setName(const std::string& name, const std::string& id) {
    if (name.empty()) return;
    store_[id] = name;
    save();
}

void CameraNameRegistry::save() const {
    if (filePath_.empty() || keepFile_) return;
    nlohmann::json json(store_);
    // Replacing rather than throwing keeps a device name with broken UTF-8 from
    // costing every other name.
    std::string bytes = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // Through a temporary file: a crash mid-write must not lose the names.
    files_->writeAtomically(filePath_, std::move(bytes));
}

}  // namespace talvex
