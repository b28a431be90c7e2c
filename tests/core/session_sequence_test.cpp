#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <utility>

#include "core/SessionSequence.h"

using namespace talvex;

namespace {

const char* text(StartAction a) {
    return a == StartAction::begin ? "begin" : a == StartAction::wait ? "wait" : "ignore";
}

const char* text(StopAction a) {
    switch (a) {
        case StopAction::stop:
            return "stop";
        case StopAction::stopWhenRecording:
            return "later";
        case StopAction::wait:
            return "wait";
        case StopAction::ignore:
            break;
    }
    return "ignore";
}

// Plays a script of events and returns what each one answered:
// S start, P stop, B began, R entered recording (1 when a stop is
// due), T stopping, F finished, W takes a waiting start (its name, "+stop"
// when a stop followed it, "-" when none waits).
std::string play(const std::string& script) {
    SessionSequence sequence;
    std::ostringstream out;
    int names = 0;
    bool stopAfterTaken = false;  // B begins the start W took, with its stop
    for (char event : script) {
        switch (event) {
            case 'S':
                out << text(sequence.requestStart({"s" + std::to_string(++names), "user"}));
                break;
            case 'P':
                out << text(sequence.requestStop());
                break;
            case 'B':
                sequence.began("s", 0, std::exchange(stopAfterTaken, false));
                out << ".";
                break;
            case 'R':
                out << sequence.enteredRecording();
                break;
            case 'T':
                sequence.stopping(1);
                out << ".";
                break;
            case 'F':
                sequence.finished();
                out << ".";
                break;
            case 'W':
                if (auto w = sequence.takeWaitingStart()) {
                    out << *w->request.sessionName << (w->stopAfter ? "+stop" : "");
                    stopAfterTaken = w->stopAfter;
                } else {
                    out << "-";
                }
                break;
        }
        out << ' ';
    }
    return out.str();
}

}  // namespace

TEST(SessionSequence, NoCommandSentInOrderIsLost) {
    struct Case {
        const char* script;
        const char* answers;
    } cases[] = {
        // A plain session; stops while idle or finishing change nothing.
        {"PSBRPTPFP", "ignore begin . 0 stop . ignore . ignore "},
        // Second start while recording, and in the lead-in, is ignored.
        {"SBSRS", "begin . ignore 0 ignore "},
        // A stop in the lead-in is carried out once the session records, once.
        {"SBPPR", "begin . later ignore 1 "},
        // START, STOP, START back to back: the second start waits, then begins.
        {"SBRPTSFW", "begin . 0 stop . wait . s2 "},
        // A stop after a waiting start stops that session; a third start waits
        // behind it, a fourth while the third would record is ignored.
        {"SBRPTSPSSFW", "begin . 0 stop . wait wait wait ignore . s2+stop "},
        // Two waiting sessions, each followed by a stop: the first begins and
        // stops as soon as it records, the second still waits its turn.
        {"SBRPTSPSPFWBRTFWBR",
         "begin . 0 stop . wait wait wait wait . s2+stop . 1 . . s3+stop . 1 "},
        // A start while a lead-in's stop is pending waits for that session.
        {"SBPSR", "begin . later wait 1 "},
        // Nothing waits while busy: no start is taken until idle.
        {"SBRPTSWFWW", "begin . 0 stop . wait - . s2 - "},
        // A start whose cameras failed never began: the next one begins.
        {"SS", "begin begin "},
    };
    for (const auto& c : cases) EXPECT_EQ(play(c.script), c.answers) << c.script;
}

TEST(SessionSequence, WaitingStartsAreBounded) {
    std::string script = "SBRPT";
    for (std::size_t i = 0; i < SessionSequence::kMaxWaitingStarts; ++i) script += "SP";
    std::string answers = play(script + "S");
    EXPECT_EQ(answers.substr(answers.size() - 7), "ignore ");
    EXPECT_EQ(answers.substr(answers.size() - 17, 10), "wait wait ");
}

// gyro.csv's time base exists from the start until the stop is asked; the
// window shows recording from the lead-in's end until idle again.
TEST(SessionSequence, TimeBaseAndShownStateFollowThePhase) {
    using P = SessionPhase;
    struct Step {
        char event;  // B began, R entered recording, T stopping, F finished
        double now;
        P phase;
        std::optional<double> timeBase;
        bool shown;
    } steps[] = {
        {'B', 10.5, P::leadIn, 10.5, false},   {'R', 11.0, P::recording, 10.5, true},
        {'T', 13.75, P::tailOut, {}, true},    {'F', 14.0, P::idle, {}, false},
        {'B', 20.25, P::leadIn, 20.25, false}, {'R', 20.5, P::recording, 20.25, true},
    };
    SessionSequence sequence;
    EXPECT_EQ(sequence.recordingStartTime(), std::nullopt);
    EXPECT_FALSE(sequence.showsRecording());
    for (const auto& step : steps) {
        switch (step.event) {
            case 'B':
                sequence.began("run_" + std::to_string(step.now), step.now);
                break;
            case 'R':
                EXPECT_FALSE(sequence.enteredRecording());
                break;
            case 'T':
                EXPECT_EQ(sequence.stopping(step.now), 3.25);  // seconds since 10.5
                break;
            case 'F':
                sequence.finished();
                break;
        }
        EXPECT_EQ(sequence.phase(), step.phase) << step.event << step.now;
        EXPECT_EQ(sequence.recordingStartTime(), step.timeBase) << step.event << step.now;
        EXPECT_EQ(sequence.showsRecording(), step.shown) << step.event << step.now;
    }
    EXPECT_EQ(sequence.sessionId(), "run_" + std::to_string(20.25));
    EXPECT_EQ(sequence.startTime(), 20.25);
}
