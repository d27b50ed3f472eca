// Record and replay of sessions (tools/yarvo-sim: session_recorder.h,
// replay.h), with the library on the in-process transport and the boards'
// clock moved by hand: a host whose commands depend on what it polls
// replays whether it polls as often as the recording, more or less often;
// a host that sends something else diverges, and everything after fails;
// recorded failures come back; a file cut short replays up to the cut.
#if __has_include("replay.h")
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "cabinet.h"
#include "replay.h"
#include "session.h"
#include "session_recorder.h"
#include "yarvo.h"

namespace {

using namespace yarvo::simtool;
using yarvo::sim::VirtualCabinet;
namespace session = yarvo::session;
using std::chrono::milliseconds;

constexpr unsigned kFailed = ~0u;

struct Host {
    unsigned pollMs = 20;
    unsigned extraSteps = 0;               // a host that spins further than the recorded one
    std::function<void()> afterInit;
    KReelMsg failure = ReelMsgOk;
};

// A host whose commands depend on what it reads: a skill spin stopped ten
// half steps past where the reel was seen after 100 ms, then a spin by a
// number of steps worked out from where the reel rests.  It polls the reel
// status every pollMs of board time.  The resting position, or kFailed.
unsigned playHost(VirtualCabinet& cab, Host& host) {
    Yarvo y;
    KReelStatus s{};
    auto poll = [&] {
        cab.advance(milliseconds(host.pollMs));
        return y.GetReelStatus(0, &s);
    };
    auto rest = [&] {
        for (int i = 0; i < 5000; ++i) {
            if (!poll()) return false;
            if ((s.statusByte1 & yarvo::sim::kFlagMoving) == 0) return true;
        }
        return false;
    };
    auto failed = [&] {
        host.failure = static_cast<KReelMsg>(y.GetLastError());
        return kFailed;
    };
    if (!y.Init()) return failed();
    if (host.afterInit) host.afterInit();
    if (!y.ConfigureReels(1, 96, 4, 50, 0) || !y.SpinStartSkill(0, 1)) return failed();
    for (unsigned t = 0; t < 100; t += host.pollMs) {
        if (!poll()) return failed();
    }
    if (!y.StopCurrentSpinAtPosition(0, (s.position + 10) % 96) || !rest()) return failed();
    if (!y.SpinReels(0, 1, s.position % 7 + 1 + host.extraSteps) || !rest()) return failed();
    return s.position;
}

std::string tempPath() {
    char path[] = "/tmp/yarvo-session.XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0) ::close(fd);
    return path;
}

// Records `host` on a fresh virtual board into `path`; its resting position.
unsigned record(const std::string& path, Host host) {
    VirtualCabinet cab;
    cab.board(0);
    auto recorder = std::make_shared<SessionRecorder>();
    std::string error;
    EXPECT_TRUE(recorder->start(cab.driver(), {0}, path, &error)) << error;
    cab.driver().setInterceptor(recorder);
    const unsigned rest = playHost(cab, host);
    EXPECT_TRUE(recorder->finish(0, &error)) << error;
    return rest;
}

std::shared_ptr<Replay> replayOn(VirtualCabinet& cab, const std::string& path,
                                 Replay::Timing timing = Replay::Timing::Fast) {
    session::Session s;
    std::string error;
    EXPECT_TRUE(session::loadSession(path, &s, &error)) << error;
    auto replay = std::make_shared<Replay>(std::move(s), path, cab.driver(), timing);
    for (const unsigned instance : replay->instances()) cab.board(instance);
    replay->applyBoardTexts();
    cab.driver().setInterceptor(replay);
    return replay;
}

// The line of the last recorded transfer with this command.
uint32_t lineOf(const std::string& path, uint8_t command) {
    session::Session s;
    std::string error;
    EXPECT_TRUE(session::loadSession(path, &s, &error)) << error;
    uint32_t line = 0;
    for (const session::Event& e : s.events) {
        if (e.kind == session::Event::Transfer && !e.request.empty() && e.requestBytes()[0] == command) line = e.line;
    }
    return line;
}

TEST(Replay, HostsPollingMoreOrLessOftenThanTheRecordingReplay) {
    const struct {
        unsigned recordedMs, replayedMs;
    } cases[] = {{20, 20}, {20, 1}, {1, 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE("recorded every " + std::to_string(c.recordedMs) + " ms, replayed every " +
                     std::to_string(c.replayedMs) + " ms");
        const std::string path = tempPath();
        Host recorded;
        recorded.pollMs = c.recordedMs;
        const unsigned rest = record(path, recorded);
        ASSERT_NE(rest, kFailed) << recorded.failure;
        VirtualCabinet cab;
        auto replay = replayOn(cab, path);
        Host replayed;
        replayed.pollMs = c.replayedMs;
        EXPECT_EQ(playHost(cab, replayed), rest) << replayed.failure << "\n" << replay->report();
        EXPECT_FALSE(replay->diverged());
        EXPECT_EQ(replay->summary(), "all 4 recorded state-changing requests replayed");
        std::remove(path.c_str());
    }
}

TEST(Replay, ADifferentRequestDivergesAndEverythingAfterFails) {
    const std::string path = tempPath();
    ASSERT_NE(record(path, Host()), kFailed);
    VirtualCabinet cab;
    auto replay = replayOn(cab, path);
    Host other;
    other.extraSteps = 3;
    EXPECT_EQ(playHost(cab, other), kFailed);
    EXPECT_EQ(other.failure, ReelMsgTransferFailed);
    ASSERT_TRUE(replay->diverged());
    Yarvo y;
    KReelStatus s{};
    EXPECT_TRUE(y.Init());   // attribute reads and openings still answer
    EXPECT_FALSE(y.GetReelStatus(0, &s));
    const std::string report = replay->report();
    EXPECT_NE(report.find(path + ":" + std::to_string(lineOf(path, 41)) + " (Kmora_0, state-changing request 4 of 4)"),
              std::string::npos) << report;
    EXPECT_NE(report.find("\n  recorded:  SPIN reel=0 mode=1 steps="), std::string::npos) << report;
    EXPECT_NE(report.find("\n  requested: SPIN reel=0 mode=1 steps="), std::string::npos) << report;
    std::remove(path.c_str());
}

TEST(Replay, ARecordedFailureFailsAgain) {
    const std::string path = tempPath();
    VirtualCabinet* recording = nullptr;
    Host host;
    host.afterInit = [&recording] { recording->driver().failNext(0, ETIMEDOUT); };
    {
        // The fault is injected into the recording's board after Init.
        VirtualCabinet cab;
        recording = &cab;
        cab.board(0);
        auto recorder = std::make_shared<SessionRecorder>();
        std::string error;
        ASSERT_TRUE(recorder->start(cab.driver(), {0}, path, &error)) << error;
        cab.driver().setInterceptor(recorder);
        EXPECT_EQ(playHost(cab, host), kFailed);
        EXPECT_EQ(host.failure, ReelMsgTransferFailed);
        recorder->finish(1, &error);
    }
    VirtualCabinet cab;
    auto replay = replayOn(cab, path);
    Host again;
    EXPECT_EQ(playHost(cab, again), kFailed);
    EXPECT_EQ(again.failure, ReelMsgTransferFailed);
    EXPECT_FALSE(replay->diverged()) << replay->report();
    ASSERT_FALSE(cab.log().empty());
    EXPECT_EQ(cab.log().back().command, 40);
    EXPECT_EQ(cab.log().back().error, ETIMEDOUT);
    std::remove(path.c_str());
}

TEST(Replay, AFileCutInALineReplaysUpToTheCut) {
    const std::string path = tempPath();
    ASSERT_NE(record(path, Host()), kFailed);
    // Cut in the middle of the stop-at-position line.
    const uint32_t stopLine = lineOf(path, 50);
    std::string text, line;
    {
        std::ifstream in(path);
        for (uint32_t n = 1; std::getline(in, line); ++n) {
            if (n == stopLine) {
                text += line.substr(0, line.size() / 2);
                break;
            }
            text += line + "\n";
        }
    }
    std::ofstream(path, std::ios::trunc) << text;
    VirtualCabinet cab;
    auto replay = replayOn(cab, path);
    Host host;
    EXPECT_EQ(playHost(cab, host), kFailed);
    ASSERT_TRUE(replay->diverged());
    EXPECT_NE(replay->report().find("recorded:  nothing more: the recording is cut short after line " +
                                    std::to_string(stopLine - 1)),
              std::string::npos)
        << replay->report();
    EXPECT_NE(replay->report().find("requested: STOP-AT reel=0 pos="), std::string::npos) << replay->report();
    std::remove(path.c_str());
}

TEST(Replay, RecordedTimingAnswersNoEarlierThanRecorded) {
    const std::string path = tempPath();
    ASSERT_NE(record(path, Host()), kFailed);
    session::Session s;
    std::string error;
    ASSERT_TRUE(session::loadSession(path, &s, &error)) << error;
    VirtualCabinet cab;
    auto replay = replayOn(cab, path, Replay::Timing::Recorded);
    std::vector<uint64_t> waits;
    replay->setWait([&](uint64_t micros) {
        waits.push_back(micros);
        const uint64_t now = cab.driver().clock().now();
        if (now < micros) cab.advance(std::chrono::microseconds(micros - now));
    });
    Host host;
    host.pollMs = 1;   // polls faster than recorded, and is held back to the recorded times
    EXPECT_NE(playHost(cab, host), kFailed) << replay->report();
    ASSERT_FALSE(waits.empty());
    EXPECT_TRUE(std::is_sorted(waits.begin(), waits.end()));
    EXPECT_EQ(waits.back(), s.events[s.events.size() - 2].micros);   // the last transfer, before the end
    std::remove(path.c_str());
}

}  // namespace

#endif
