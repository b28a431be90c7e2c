#include <gtest/gtest.h>

#include <utility>

#include "core/NumberFormat.h"
#include "core/SessionSequence.h"

using namespace talvex;

namespace {

const char* const kStartText[] = {"begin", "wait", "ignore"};
const char* const kStopText[] = {"stop", "later", "wait", "ignore"};

// Plays a script of events, the i-th at the instant i, and returns what each one
// answered: S start, P stop, B began, R entered recording (1 when a stop is due),
// T stopping (the seconds since the start), F finished, W takes a waiting start (its
// name, "+stop" when a stop followed it, "-" when none waits), ? the time base of
// gyro.csv ("-" when none) and whether the session shows as recording (r) or not (i).
std::string play(const std::string& script) {
    SessionSequence sequence;
    std::string out;
    int names = 0;
    bool stopAfterTaken = false;  // B begins the start W took, with its stop
    auto answer = [&](char event, double now) -> std::string {
        switch (event) {
            case 'S':
                return kStartText[int(sequence.requestStart({"s" + std::to_string(++names), ""}))];
            case 'P':
                return kStopText[int(sequence.requestStop())];
            case 'B':
                return sequence.began("s", now, std::exchange(stopAfterTaken, false)), ".";
            case 'R':
                return sequence.enteredRecording() ? "1" : "0";
            case 'T':
                return formatNumber(sequence.stopping(now));
            case 'F':
                return sequence.finished(), ".";
            case 'W': {
                auto waiting = sequence.takeWaitingStart();
                stopAfterTaken = waiting && waiting->stopAfter;
                return waiting ? *waiting->request.sessionName + (stopAfterTaken ? "+stop" : "")
                               : "-";
            }
        }
        auto base = sequence.recordingStartTime();  // '?'
        return (base ? formatNumber(*base) : "-") + (sequence.showsRecording() ? "r" : "i");
    };
    for (std::size_t now = 0; now < script.size(); ++now)
        out += answer(script[now], double(now)) + ' ';
    return out;
}

}  // namespace

TEST(SessionSequence, NoCommandSentInOrderIsLost) {
    const std::pair<const char*, const char*> cases[] = {
        // A plain session; stops while idle or finishing change nothing.
        {"PSBRPTPFP", "ignore begin . 0 stop 3.0 ignore . ignore "},
        // A time base from start to stop; shown as recording from the lead-in's end to idle.
        {"?SB?R?PT?F?B?", "-i begin . 2.0i 0 2.0r stop 5.0 -r . -i . 11.0i "},
        // Second start while recording, and in the lead-in, is ignored.
        {"SBSRS", "begin . ignore 0 ignore "},
        // A stop in the lead-in is carried out once the session records, once.
        {"SBPPR", "begin . later ignore 1 "},
        // START, STOP, START back to back: the second start waits, then begins.
        {"SBRPTSFW", "begin . 0 stop 3.0 wait . s2 "},
        // A stop after a waiting start is kept for it; a third start waits, a fourth is ignored.
        {"SBRPTSPSSFW", "begin . 0 stop 3.0 wait wait wait ignore . s2+stop "},
        // Two waiting starts, each with its stop: each begins in turn, stops once it records.
        {"SBRPTSPSPFWBRTFWBR",
         "begin . 0 stop 3.0 wait wait wait wait . s2+stop . 1 2.0 . s3+stop . 1 "},
        // A start while a lead-in's stop is pending waits for that session.
        {"SBPSR", "begin . later wait 1 "},
        // Nothing waits while busy: no start is taken until idle.
        {"SBRPTSWFWW", "begin . 0 stop 3.0 wait - . s2 - "},
        // A start whose cameras failed never began: the next one begins.
        {"SS", "begin begin "},
    };
    for (const auto& [script, answers] : cases) EXPECT_EQ(play(script), answers) << script;
    // Waiting starts are bounded: one more is ignored.
    std::string script = "SBRPT";
    for (std::size_t i = 0; i < SessionSequence::kMaxWaitingStarts; ++i) script += "SP";
    EXPECT_TRUE(play(script + "S").ends_with("wait wait ignore ")) << play(script + "S");
}
