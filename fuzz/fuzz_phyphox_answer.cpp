// Feeds arbitrary bytes to the answer reader as "/get", "/time" and "/config"
// answers and runs what it reads through the sample timing, as a first answer
// and as a later one, checking that only real samples come out, each later
// than the one before.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/GyroTiming.h"
#include "core/PhyphoxAnswer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    talvex::PhyphoxAnswer reader;
    const auto poll = reader.readPoll(body);
    const auto& b = reader.buffers();
    if (poll == talvex::PhyphoxAnswer::Poll::unreadable &&
        !(b.time.empty() && b.x.empty() && b.y.empty() && b.z.empty()))
        std::abort();

    talvex::GyroTiming timing;
    timing.takeTimeRecord(talvex::PhyphoxAnswer::readTimeRecord(body), 100.0);
    double lastTimestamp = -INFINITY;
    const bool measuring = poll == talvex::PhyphoxAnswer::Poll::measuring;
    for (double now : {101.0, 101.05, 101.1}) {
        timing.process({b.time, b.x, b.y, b.z, measuring, b.mode, now - 0.01, now},
                       [&](double timestamp, double x, double y, double z) {
                           const bool real = std::isfinite(timestamp) && std::isfinite(x) &&
                                             std::isfinite(y) && std::isfinite(z);
                           if (!real || timestamp <= lastTimestamp) std::abort();
                           lastTimestamp = timestamp;
                       });
        if (timing.wantsTimeRecord()) timing.takeTimeRecord(std::nullopt, now);
    }
    (void)talvex::GyroTiming::formatThreshold(b.time.empty() ? 0.0 : b.time.back());
    (void)talvex::PhyphoxAnswer::baseUrl(body);

    if (auto config = talvex::PhyphoxAnswer::readConfig(body))
        (void)talvex::PhyphoxAnswer::formatNames(
            config->bufferNames.value_or(std::vector<std::string>{}));
    (void)talvex::PhyphoxAnswer::firstCharacters(body, 1000);
    return 0;
}
