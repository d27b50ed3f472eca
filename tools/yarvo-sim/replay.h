// Replay of a recorded session (tools/common/session.h): the boards answer
// the host from the recording instead of the firmware model.
//
//  * Requests that change a board's state (outputs, lamps, reel set-up and
//    motion, synchronisation, tamper reset) must come in the recorded order
//    with the recorded bytes; each gets its recorded answer.
//  * Polls (inputs, changed inputs, reel status, power status, firmware
//    version) are matched by their order between state-changing requests:
//    the k-th poll of one request (command and reel) since the last matched
//    state-changing request gets the k-th recorded answer there.  Time
//    decides where the host polls more or less often than the recording:
//    a poll is never answered from earlier than its own time since that
//    request (so a host that polls less often skips answers, its first
//    poll included), and a poll beyond the recorded ones gets the latest
//    (never one earlier than it had).  A request polled where the
//    recording has none gets the answer last recorded before that place.
//  * Attribute reads and node openings are answered in their recorded
//    order per board; beyond it, the last recorded answer.
//  * The first state-changing request that differs from the recording, one
//    more than it holds, or a poll it never answered, is the divergence:
//    that and every later transfer fails with EIO, and report() tells
//    where, with the recorded and the actual request decoded side by side.
//  * With recorded timing an answer comes no earlier than its recorded
//    time since the start; fast timing answers at once.
//
// The firmware model still carries out every request first, so the views
// show the replayed board as they show a virtual one; the inputs, power
// status and firmware version the recording answered are set on it too.
#ifndef YARVO_SIM_TOOL_REPLAY_H
#define YARVO_SIM_TOOL_REPLAY_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "session.h"
#include "virtual_driver.h"

namespace yarvo::simtool {

class Replay : public sim::Interceptor {
public:
    enum class Timing { Fast, Recorded };

    // `path` names the session in reports.
    Replay(session::Session session, std::string path, sim::VirtualDriver& driver, Timing timing);

    // Every board instance the recording knows (its header's and its events').
    std::vector<unsigned> instances() const;
    // Gives the driver's boards (plugged by the caller) the recorded
    // product and speed texts and node openings.
    void applyBoardTexts();

    // How a wait for a recorded time is made (tests replace the clock's).
    void setWait(std::function<void(uint64_t boardMicros)> wait) { wait_ = std::move(wait); }
    // Print the divergence report on standard error as soon as it happens.
    void announceDivergence(bool on) { announce_ = on; }

    bool attribute(unsigned instance, bool product, bool found, std::string* text) override;
    int open(unsigned instance, int error) override;
    int transfer(unsigned instance, const wire::TransferBlock& request, wire::TransferBlock* block,
                 int error) override;

    bool diverged() const { return diverged_.load(); }
    // The divergence: where, recorded and actual request; empty without one.
    std::string report() const;
    // What the run used of the recording ("all 40 state-changing requests
    // replayed", or where the program stopped short).
    std::string summary() const;

private:
    struct PollCursor {
        size_t segment = SIZE_MAX;
        size_t next = 0;
    };
    struct Lane {                                    // one board instance
        std::vector<uint32_t> commands;              // state-changing transfers (event indices)
        std::unordered_map<std::string, std::vector<uint32_t>> polls;   // by request bytes
        std::vector<uint32_t> opens, attributes[2];  // [0] speed, [1] product
        size_t matched = 0;                          // state-changing requests matched
        uint64_t segmentStart = 0;                   // board time of the last match
        std::unordered_map<std::string, PollCursor> cursors;
        size_t opensServed = 0, attributesServed[2] = {0, 0};
    };

    const session::Event* answerPoll(Lane& lane, unsigned instance, const std::string& key, uint64_t now);
    void diverge(unsigned instance, const Lane& lane, const wire::TransferBlock& request, const std::string& why);
    void waitFor(uint64_t micros);
    int answer(const session::Event& event, const wire::TransferBlock& request, wire::TransferBlock* block);
    void mirror(unsigned instance, const session::Event& event);
    std::string endOfRecording() const;

    session::Session session_;
    std::string path_;
    sim::VirtualDriver& driver_;
    Timing timing_;
    std::function<void(uint64_t)> wait_;
    bool announce_ = false;
    mutable std::mutex mutex_;
    Lane lanes_[16];
    std::atomic<bool> diverged_{false};
    std::string report_;
};

// yarvo-sim's replay subcommand.  "yarvo-sim replay SESSION REST..." is
// run as "yarvo-sim run --replay SESSION REST...", so that every option of
// run applies; empty when argv is no such command (its help, or a session
// not named first).
std::vector<std::string> replayAsRun(int argc, char** argv);

// Loads the session and names its boards as --board entries in *boards.
// Refuses boards, products, --preload or --record given with a replay.
// False with a message.
bool prepareReplay(const std::string& path, const std::string& timing, bool cabinetGiven, bool preload, bool record,
                   std::shared_ptr<Replay>* replay, std::vector<std::string>* boards, std::string* error);

// Once the program has ended: the divergence report (unless it was shown
// when it happened) or, where the program did not make every recorded
// request (or with `verbose`), how far it went.  The exit status:
// `divergenceStatus` after a divergence, else the program's own.
int finishReplay(Replay& replay, bool reportShown, bool verbose, int divergenceStatus, int programStatus);

}  // namespace yarvo::simtool

#endif
