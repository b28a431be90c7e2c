// Answer handling of the gyroscope receiver: reading a "/get" answer and
// running its samples through the timing, as for every poll. Polls ask only
// for new values (about 20 samples at 400 Hz), but the first answer after a
// clear is full, so the cost must stay linear in the answer's size.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "core/GyroTiming.h"
#include "core/PhyphoxAnswer.h"

namespace {

std::string numberList(std::size_t count, double (*value)(double)) {
    std::string text;
    char buffer[32];
    for (std::size_t i = 0; i < count; ++i) {
        const int n =
            std::snprintf(buffer, sizeof buffer, "%s%.10g", i ? "," : "", value(double(i) / 100.0));
        text.append(buffer, std::size_t(n));
    }
    return text;
}

// An answer shaped like the phone app's, with its kind of numbers.
std::string phoneAnswer(std::size_t samples) {
    std::string body = "{\"buffer\":{";
    const struct {
        const char* name;
        double (*value)(double);
    } buffers[] = {
        {"gyrX", [](double t) { return 0.3 * std::sin(t) + 1e-3; }},
        {"gyrY", [](double t) { return 0.2 * std::cos(3 * t); }},
        {"gyrZ", [](double t) { return -0.01 * t; }},
        {"gyr_time", [](double t) { return t + 0.00123; }},
    };
    for (const auto& b : buffers) {
        if (body.back() != '{') body += ',';
        body += std::string("\"") + b.name + "\":{\"size\":0,\"updateMode\":\"full\",\"buffer\":[" +
                numberList(samples, b.value) + "]}";
    }
    body +=
        "},\"status\":{\"session\":\"5e3a1c\",\"measuring\":true,\"timedRun\":false,"
        "\"countDown\":0}}";
    body.reserve(body.size() + 64);  // spare room that lets the reader parse in place
    return body;
}

void BM_AnswerHandling(benchmark::State& state) {
    const std::size_t samples = std::size_t(state.range(0));
    const std::string body = phoneAnswer(samples);
    talvex::PhyphoxAnswer reader;
    std::size_t delivered = 0;
    double now = 1.0;
    for (auto _ : state) {
        state.PauseTiming();
        talvex::GyroTiming timing;  // every answer is new to it
        timing.takeTimeRecord(std::vector<talvex::PhyphoxAnswer::TimeEvent>{{true, 0.0, 0.0}}, now);
        std::vector<double> newest = {0.0};
        timing.process(
            {newest, {}, {}, {}, true, talvex::PhyphoxAnswer::UpdateMode::single, now - 0.01, now},
            nullptr);
        now += double(samples) / 100.0;  // the answer's samples were taken meanwhile
        state.ResumeTiming();
        if (reader.readPoll(body) != talvex::PhyphoxAnswer::Poll::measuring) {
            state.SkipWithError("answer not read");
            break;
        }
        const auto& b = reader.buffers();
        delivered += timing.process({b.time, b.x, b.y, b.z, true, b.mode, now - 0.01, now += 0.05},
                                    [](double, double, double, double) {});
    }
    benchmark::DoNotOptimize(delivered);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(body.size()));
    state.counters["answer_MB"] = double(body.size()) / 1e6;
}

BENCHMARK(BM_AnswerHandling)->Arg(20)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
