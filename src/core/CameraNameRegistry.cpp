#include "core/CameraNameRegistry.h"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "core/FileUtil.h"

namespace talvex {

CameraNameRegistry::CameraNameRegistry(std::string filePath) : filePath_(std::move(filePath)) {
    if (filePath_.empty()) return;
    // A folder that cannot be made only means the names are not kept.
    makeDirectories(std::filesystem::path(filePath_).parent_path().string());
    load();
}

void CameraNameRegistry::load() {
    auto text = readFile(filePath_);
    if (!text) return;
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (!json.is_object()) return;
    std::map<std::string, std::string> names;
    for (const auto& [id, value] : json.items()) {
        // One wrong member makes the whole file untrustworthy.
        if (!value.is_string()) return;
        names[id] = value.get<std::string>();
    }
    store_ = std::move(names);
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
    if (filePath_.empty()) return;
    nlohmann::json json(store_);
    // Replacing rather than throwing keeps a device name with broken UTF-8 from
    // costing every other name.
    std::string bytes = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // Through a temporary file: a crash mid-write must not lose the names.
    (void)writeFileAtomically(filePath_, bytes);
}

}  // namespace talvex
