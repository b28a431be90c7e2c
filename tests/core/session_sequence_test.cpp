#include <gtest/gtest.h>

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
// S start, P stop, B began, A abandoned, R entered recording (1 when a stop is
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
                sequence.began(std::exchange(stopAfterTaken, false));
                out << ".";
                break;
            case 'A':
                sequence.abandoned();
                out << ".";
                break;
            case 'R':
                out << sequence.enteredRecording();
                break;
            case 'T':
                sequence.stopping();
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
        // A failed start returns to idle and a new one begins.
        {"SBAS", "begin . . begin "},
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
