#pragma once

// The code every emulated frame carries: a band of black and white blocks
// across the picture holding the frame counter (16 bits), the camera's index
// in the configuration (3 bits) and a CRC-5. Each bit is two blocks, light
// then dark for 1 and dark then light for 0, between light start and end
// marks on a black band, so a reader needs no fixed position or scale: it
// survives H.264, scaling to half width, stretching and letterboxing.
//
// Header only, for the emulator and for tests:
//     auto code = webcam::readCounter(frame->data[0], width, height, frame->linesize[0]);
//     (packed YUYV: add the step 2 between luma samples)
//     if (code) use(code->counter, code->camera);
// Pass only the part of a side-by-side picture that holds one camera.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>

namespace webcam {

struct CounterCode {
    std::uint16_t counter = 0;
    int camera = 0;  // 0..7
    friend bool operator==(const CounterCode&, const CounterCode&) = default;
};

namespace counter_layout {

inline constexpr int kBits = 24;                          // 16 counter, 3 camera, 5 check
inline constexpr int kUnits = 2 + 1 + 2 * kBits + 1 + 2;  // in half-bit blocks
inline constexpr int kFirstBitUnit = 3;

inline std::uint32_t crc5(std::uint32_t data, int bits) {
    std::uint32_t crc = 0x1F;
    for (int i = bits - 1; i >= 0; --i) {
        const std::uint32_t in = ((data >> i) & 1) ^ ((crc >> 4) & 1);
        crc = ((crc << 1) & 0x1F) ^ (in ? 0x05 : 0);
    }
    return crc;
}

inline std::uint32_t payload(const CounterCode& code) {
    const std::uint32_t data = std::uint32_t{code.counter} << 3 | (code.camera & 7);
    return data << 5 | crc5(data, 19);
}

// Light (true) or dark for each block, left to right.
inline std::array<bool, kUnits> blocks(const CounterCode& code) {
    std::array<bool, kUnits> light{};
    light[0] = light[1] = light[kUnits - 2] = light[kUnits - 1] = true;
    const std::uint32_t bits = payload(code);
    for (int k = 0; k < kBits; ++k) {
        const bool one = (bits >> (kBits - 1 - k)) & 1;
        light[kFirstBitUnit + 2 * k] = one;
        light[kFirstBitUnit + 2 * k + 1] = !one;
    }
    return light;
}

// Where the band lies in a width x height picture.
inline int bandTop(int height) {
    return height * 5 / 8;
}
inline int bandBottom(int height) {
    return height * 7 / 8;
}
inline int blockWidth(int width) {
    return std::max(1, width * 9 / 10 / kUnits);
}
inline int codeLeft(int width) {
    return (width - blockWidth(width) * kUnits) / 2;
}

// Reads one row; nothing when it does not cross a whole, valid band.
inline std::optional<CounterCode> readRow(const std::uint8_t* samples, int width, int step) {
    std::uint8_t row[8192];
    if (width > 8192) return std::nullopt;
    for (int x = 0; x < width; ++x) row[x] = samples[x * step];
    const auto [low, high] = std::minmax_element(row, row + width);
    if (*high - *low < 60) return std::nullopt;
    const int threshold = (*low + *high) / 2;
    int left = 0, right = width - 1;
    while (left < width && row[left] <= threshold) ++left;
    while (right > left && row[right] <= threshold) --right;
    const double unit = (right - left + 1) / double(kUnits);
    if (unit < 1.5) return std::nullopt;
    auto level = [&](int u) {  // mean over the middle half of block u
        const int from = left + int((u + 0.25) * unit), to = left + int((u + 0.75) * unit);
        int sum = 0;
        for (int x = from; x <= to; ++x) sum += row[x];
        return sum / (to - from + 1);
    };
    const int margin = (*high - *low) / 4;
    if (level(0) <= threshold || level(kUnits - 1) <= threshold || level(2) > threshold ||
        level(kUnits - 3) > threshold)
        return std::nullopt;
    std::uint32_t bits = 0;
    for (int k = 0; k < kBits; ++k) {
        const int a = level(kFirstBitUnit + 2 * k), b = level(kFirstBitUnit + 2 * k + 1);
        if (std::abs(a - b) < margin) return std::nullopt;
        bits = bits << 1 | (a > b ? 1 : 0);
    }
    if (crc5(bits >> 5, 19) != (bits & 0x1F)) return std::nullopt;
    return CounterCode{static_cast<std::uint16_t>(bits >> 8), static_cast<int>(bits >> 5 & 7)};
}

}  // namespace counter_layout

// The code most rows of a luma (or gray) picture agree on; nothing when no
// row holds a valid one. For packed YUYV pass the frame with step 2.
inline std::optional<CounterCode> readCounter(const std::uint8_t* luma, int width, int height,
                                              std::ptrdiff_t stride, int step = 1) {
    std::map<std::uint32_t, int> votes;
    for (int y = 0; y < height; ++y)
        if (auto code = counter_layout::readRow(luma + y * stride, width, step))
            ++votes[std::uint32_t{code->counter} << 3 | std::uint32_t(code->camera)];
    if (votes.empty()) return std::nullopt;
    auto best = std::max_element(votes.begin(), votes.end(),
                                 [](auto& a, auto& b) { return a.second < b.second; });
    return CounterCode{static_cast<std::uint16_t>(best->first >> 3),
                       static_cast<int>(best->first & 7)};
}

}  // namespace webcam
