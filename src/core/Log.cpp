#include "core/Log.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "core/FileUtil.h"

namespace talvex {

namespace {

// Text waiting for standard output, about eight seconds of a busy session.
constexpr std::size_t kQueueCapacity = 64 * 1024;

class LogWriter {
public:
    void start();
    void push(std::string line);
    bool flush(double timeoutSeconds);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;  // queued plus being written
    std::uint64_t accepted_ = 0;   // lines queued, plus one per report of dropped lines
    std::uint64_t done_ = 0;       // of those, written
    std::uint64_t dropped_ = 0;
    bool started_ = false;
};

// Never destroyed: the writer thread may still be blocked in write(2) at exit.
LogWriter& writer() {
    static LogWriter* instance = new LogWriter;
    return *instance;
}

void LogWriter::start() {
    std::lock_guard lock(mutex_);
    if (started_) return;
    started_ = true;
    std::thread([this] { run(); }).detach();
    std::atexit([] { flushLog(); });
}

void LogWriter::push(std::string line) {
    std::lock_guard lock(mutex_);
    if (!started_) {
        writeAll(STDOUT_FILENO, line);
        return;
    }
    if (queuedBytes_ + line.size() > kQueueCapacity) {
        // The first drop of a spell stands for the line that will report it.
        if (dropped_++ == 0) ++accepted_;
        return;
    }
    queuedBytes_ += line.size();
    ++accepted_;
    queue_.push_back(std::move(line));
    wake_.notify_one();
}

void LogWriter::run() {
    for (;;) {
        std::string text;
        std::size_t lines = 0, dropped = 0;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return !queue_.empty() || dropped_ > 0; });
            for (; !queue_.empty(); queue_.pop_front(), ++lines) text += queue_.front();
            dropped = std::exchange(dropped_, 0);
        }
        std::size_t bytes = text.size();
        if (dropped > 0) text += "Talvex: " + std::to_string(dropped) + " log lines dropped\n";
        // A closed output loses the lines; there is nowhere else to say so.
        writeAll(STDOUT_FILENO, text);
        std::lock_guard lock(mutex_);
        queuedBytes_ -= bytes;
        done_ += lines + (dropped > 0 ? 1 : 0);
        written_.notify_all();
    }
}

bool LogWriter::flush(double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = accepted_;
    auto patience = std::chrono::duration<double>(timeoutSeconds);
    while (done_ < target) {
        std::uint64_t before = done_;
        if (!written_.wait_for(lock, patience, [&] { return done_ != before; })) return false;
    }
    return true;
}

void appendHex(std::string& out, unsigned char byte) {
    const char* digits = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 15];
}

// Length of the well-formed UTF-8 sequence at the start of text, 0 if none.
std::size_t utf8Length(std::string_view text) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4 || text.size() < length) return 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead == 0xE0) low = 0xA0;           // overlong
    if (lead == 0xED) high = 0x9F;          // surrogates
    if (lead == 0xF0) low = 0x90;           // overlong
    if (lead == 0xF4) high = 0x8F;          // beyond U+10FFFF
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

// Line and paragraph separators (U+2028, U+2029) and the bidirectional
// embeddings, overrides and isolates (U+202A-U+202E, U+2066-U+2069): a
// terminal may break a line at the first and reorder the text after the
// others, so a name could still pass for a line of its own.
bool isLayoutControl(std::string_view sequence) {
    if (sequence.size() != 3 || static_cast<unsigned char>(sequence[0]) != 0xE2) return false;
    auto second = static_cast<unsigned char>(sequence[1]);
    auto third = static_cast<unsigned char>(sequence[2]);
    return (second == 0x80 && third >= 0xA8 && third <= 0xAE) ||
           (second == 0x81 && third >= 0xA6 && third <= 0xA9);
}

// "\u2028" for the code point of a three-byte sequence.
void appendCodePoint(std::string& out, std::string_view sequence) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned>(sequence[i]) & 0xFFu; };
    unsigned point = ((byte(0) & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", point);
    out += text;
}

}  // namespace

std::string escapeControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        auto c = static_cast<unsigned char>(text[0]);
        std::size_t length = c < 0x80 ? 1 : utf8Length(text);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F || length == 0) {
            appendHex(out, c);
            length = 1;
        } else if (c == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0) {
            appendHex(out, c);  // a C1 control such as U+009B, which terminals obey
            appendHex(out, static_cast<unsigned char>(text[1]));
        } else if (isLayoutControl(text.substr(0, length))) {
            appendCodePoint(out, text.substr(0, length));
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

void logLine(std::string_view line) {
    writer().push(escapeControlCharacters(line) + '\n');
}

void startLogWriter() {
    writer().start();
}

bool flushLog(double timeoutSeconds) {
    return writer().flush(timeoutSeconds);
}

}  // namespace talvex
