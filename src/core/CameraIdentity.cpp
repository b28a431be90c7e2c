#include "core/CameraIdentity.h"

namespace talvex {

std::string stableCameraId(const CameraNodeFacts& facts) {
    if (facts.hasSerial && !facts.byIdName.empty()) return facts.byIdName;
    const std::string& product = facts.productName.empty() ? facts.card : facts.productName;
    if (!facts.byPathName.empty()) return facts.byPathName + " " + product;
    return facts.busInfo + " " + product;
}

std::vector<std::string> legacyCameraIds(const CameraNodeFacts& facts) {
    std::string old = facts.byIdName.empty() ? facts.busInfo + " " + facts.card : facts.byIdName;
    if (old == stableCameraId(facts)) return {};
    return {old};
}

}  // namespace talvex
