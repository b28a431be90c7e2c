// Feeds arbitrary bytes to the answer reader as "/get" and "/config" answers
// and runs what it reads through the sample timing, checking that only real,
// ordered samples come out.
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
    const auto& buffers = reader.buffers();
    if (poll != talvex::PhyphoxAnswer::Poll::measuring &&
        !(buffers.time.empty() && buffers.x.empty() && buffers.y.empty() && buffers.z.empty()))
        std::abort();

    talvex::GyroTiming timing;
    timing.beginSession(100.0);
    double lastTimestamp = -INFINITY;
    for (double now : {101.0, 101.05}) {
        timing.process(buffers.time, buffers.x, buffers.y, buffers.z, now,
                       [&](double timestamp, double x, double y, double z) {
                           const bool real = std::isfinite(timestamp) && std::isfinite(x) &&
                                             std::isfinite(y) && std::isfinite(z);
                           if (!real || timestamp < lastTimestamp || timestamp < 100.0)
                               std::abort();
                           lastTimestamp = timestamp;
                       });
    }

    if (auto config = talvex::PhyphoxAnswer::readConfig(body))
        (void)talvex::PhyphoxAnswer::formatNames(
            config->bufferNames.value_or(std::vector<std::string>{}));
    (void)talvex::PhyphoxAnswer::firstCharacters(body, 1000);
    return 0;
}
