#include "core/Log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <thread>
#include <utility>

using namespace talvex;

TEST(Log, ControlCharactersAndBrokenUtf8AreEscapedSoALineStaysOneLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"HELLO\nTalvex: forged", "HELLO\\nTalvex: forged"},
        {"\x1b[31mred\r\t", "\\x1b[31mred\\r\\t"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"del\x7f", "del\\x7f"},
        {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x8E\xA5", "caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x8E\xA5"},
        {"c1 \xC2\x9B\x32J", "c1 \\xc2\\x9b2J"},
        {"\xFF\xC0\xA0", "\\xff\\xc0\\xa0"},
        {"cut \xE2\x82", "cut \\xe2\\x82"},
        {"surrogate \xED\xA0\x80", "surrogate \\xed\\xa0\\x80"},
        {"back\\slash", "back\\slash"},
        {"a\xE2\x80\xA8"
         "b\xE2\x80\xA9",
         "a\\u2028b\\u2029"},
        {"\xE2\x80\xAA\xE2\x80\xAE\xE2\x81\xA6\xE2\x81\xA9", "\\u202a\\u202e\\u2066\\u2069"},
        {"\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",
         "\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(escapeControlCharacters(text), escaped);
}

// Standard output is a pipe nobody reads: logging goes on without waiting,
// and once the pipe is read again the lines come out whole and in order,
// followed by the count of those that did not fit.
TEST(Log, ABlockedOutputDropsAndCountsLinesInsteadOfWaiting) {
    ::alarm(60);  // a logLine that waits for the reader would hang here
    startLogWriter();
    ASSERT_TRUE(flushLog());
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const int savedStdout = ::dup(STDOUT_FILENO);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::close(pipeFds[1]);
    constexpr int kLines = 30000;
    for (int i = 0; i < kLines; ++i) logLine("line " + std::to_string(i));

    std::string output;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            output.append(buffer, n);
    });
    EXPECT_TRUE(flushLog());
    ::dup2(savedStdout, STDOUT_FILENO);  // the pipe's last writer goes: the reader sees its end
    reader.join();
    ::close(pipeFds[0]);
    ::close(savedStdout);
    ::alarm(0);

    std::istringstream lines(output);
    int next = 0, written = 0, dropped = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("Talvex: ") && line.ends_with(" log lines dropped")) {
            dropped += std::stoi(line.substr(8));
            continue;
        }
        ASSERT_TRUE(line.starts_with("line ")) << line;
        const int number = std::stoi(line.substr(5));
        ASSERT_GE(number, std::exchange(next, number + 1)) << "in order";
        ++written;
    }
    EXPECT_GT(dropped, 0);
    EXPECT_GT(written, 1000);
    EXPECT_EQ(written + dropped, kLines);
}
