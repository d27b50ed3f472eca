// yarvo-sim's control channel (parser, execution against the virtual
// driver, the socket server and client), its view model and the reel labels
// taken from the reel-definition file.  The code lives in tools/yarvo-sim
// (yarvo_sim_control), which a build without tools leaves out.
#if __has_include("view_model.h")
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "board_setup.h"
#include "cabinet.h"
#include "control_protocol.h"
#include "control_server.h"
#include "reel_labels.h"
#include "transport.h"
#include "view_model.h"
#include "wire.h"

namespace {

using namespace yarvo::simtool;
using yarvo::sim::ControlCommand;
using yarvo::sim::ControlSession;
using yarvo::sim::parseControlLine;
using yarvo::sim::VirtualCabinet;

// ------------------------------------------------------------ parsing

struct ParseCase {
    const char* line;
    bool ok;
    ControlCommand::Op op;
    int board;
    unsigned number;
    const char* errorPart;   // for failures: a piece of the message
};

TEST(SimControlParse, LinesAndTheirMistakes) {
    const ParseCase cases[] = {
        {"input 3 on", true, ControlCommand::Input, -1, 3, ""},
        {"  input   23 toggle ", true, ControlCommand::Input, -1, 23, ""},
        {"input 24 on", false, ControlCommand::Input, -1, 0, "not 0 to 23"},
        {"input 3 maybe", false, ControlCommand::Input, -1, 0, "on, off or toggle"},
        {"input 3", false, ControlCommand::Input, -1, 0, "usage: input N"},
        {"inputs 0xFF0001", true, ControlCommand::Inputs, -1, 0, ""},
        {"inputs 1000000", false, ControlCommand::Inputs, -1, 0, "up to FFFFFF"},
        {"inputs 12g", false, ControlCommand::Inputs, -1, 0, "hexadecimal"},
        {"address 7", true, ControlCommand::Address, -1, 7, ""},
        {"address 8", false, ControlCommand::Address, -1, 0, "0 to 7"},
        {"unplug 15", true, ControlCommand::Unplug, 15, 0, ""},
        {"unplug 16", false, ControlCommand::Unplug, -1, 0, "instance 0 to 15"},
        {"unplug -1", false, ControlCommand::Unplug, -1, 0, "instance 0 to 15"},
        {"replug 0", true, ControlCommand::Replug, 0, 0, ""},
        {"fail 2 5", true, ControlCommand::Fail, 2, 5, ""},
        {"fail 2 0", false, ControlCommand::Fail, -1, 0, "1 to 1000000"},
        {"fail 2 3 EBOGUS", false, ControlCommand::Fail, -1, 0, "errno"},
        {"tamper 1 7 -12", true, ControlCommand::Tamper, 1, 7, ""},
        {"tamper 1 8 4", false, ControlCommand::Tamper, -1, 0, "reel"},
        {"tamper 1 2 0", false, ControlCommand::Tamper, -1, 0, "non-zero"},
        {"tamper 1 2 99999", false, ControlCommand::Tamper, -1, 0, "half steps"},
        {"status", true, ControlCommand::Status, -1, 0, ""},
        {"status 4", true, ControlCommand::Status, 4, 0, ""},
        {"status 4 5", false, ControlCommand::Status, -1, 0, "usage"},
        {"board 9", true, ControlCommand::Board, 9, 0, ""},
        {"fail 2 1 0x6E", true, ControlCommand::Fail, 2, 1, ""},   // ETIMEDOUT by number
        {"fail 0 1 600", false, ControlCommand::Help, -1, 0, "not an errno a board's driver returns"},
        {"fail 0 1 4095", false, ControlCommand::Help, -1, 0, "one of EIO, ETIMEDOUT, ENODEV"},
        {"fail 0 1 ENOSYS", false, ControlCommand::Help, -1, 0, "not an errno"},
        {"board 010", true, ControlCommand::Board, 10, 0, ""},     // decimal, never octal
        {"frobnicate 1", false, ControlCommand::Help, -1, 0, "unknown command"},
        {"Input 1 on", false, ControlCommand::Help, -1, 0, "unknown command"},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.line);
        ControlCommand command;
        std::string error;
        bool blank = true;
        ASSERT_EQ(parseControlLine(c.line, &command, &error, &blank), c.ok) << error;
        EXPECT_FALSE(blank);
        if (c.ok) {
            EXPECT_EQ(command.op, c.op);
            EXPECT_EQ(command.board, c.board);
            EXPECT_EQ(command.number, c.number);
        } else {
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
        }
    }
}

TEST(SimControlParse, ValuesOfFieldsAndBlankLines) {
    ControlCommand c;
    std::string error;
    bool blank = false;
    ASSERT_TRUE(parseControlLine("inputs ff0001", &c, &error));
    EXPECT_EQ(c.bits, 0xFF0001u);
    ASSERT_TRUE(parseControlLine("input 4 off", &c, &error));
    EXPECT_EQ(c.state, ControlCommand::Off);
    ASSERT_TRUE(parseControlLine("fail 0 1", &c, &error));
    EXPECT_EQ(c.err, EIO);
    ASSERT_TRUE(parseControlLine("fail 0 1 ETIMEDOUT", &c, &error));
    EXPECT_EQ(c.err, ETIMEDOUT);
    ASSERT_TRUE(parseControlLine("fail 0 1 71", &c, &error));
    EXPECT_EQ(c.err, 71);
    ASSERT_TRUE(parseControlLine("tamper 0 3 -40", &c, &error));
    EXPECT_EQ(c.halfSteps, -40);
    for (const char* line : {"", "   ", "# a comment", "  #input 1 on"}) {
        EXPECT_FALSE(parseControlLine(line, &c, &error, &blank)) << line;
        EXPECT_TRUE(blank) << line;
    }
    EXPECT_EQ(yarvo::sim::injectableErrno("ENODEV"), ENODEV);
    EXPECT_EQ(yarvo::sim::injectableErrno("0"), -1);
    EXPECT_EQ(yarvo::sim::injectableErrno("eio"), -1);
}

// ------------------------------------------------------------ execution

// Command 20 (input report) straight into the driver, as a transport would.
int readInputs(unsigned instance, uint8_t report[3]) {
    yarvo::wire::TransferBlock block{};
    block.word0 = yarvo::wire::kBlockWord0;
    block.word1 = yarvo::wire::kBlockWord1;
    block.requestLength = 1;
    block.responseLength = yarvo::wire::kResponseOffered;
    block.buffer[0] = yarvo::wire::kCmdInputReport;
    const int err = yarvo::sim::driver().transfer(instance, &block);
    if (err == 0) {
        std::memcpy(report, block.buffer + 2, 3);
    }
    return err;
}

TEST(SimControlSession, InputsGoToTheSelectedBoard) {
    VirtualCabinet cab;
    cab.board(0).board(2).address(5);
    ControlSession session(cab.driver(), {0, 2});
    EXPECT_EQ(session.handle("input 3 on"), "ok board=0 input3=on");
    EXPECT_EQ(session.handle("board 2"), "ok selected=2");
    EXPECT_EQ(session.handle("input 0 toggle"), "ok board=2 input0=on");
    EXPECT_EQ(session.handle("input 0 toggle"), "ok board=2 input0=off");
    EXPECT_EQ(session.handle("input 9 on").rfind("ok", 0), 0u);
    uint8_t report[3];
    ASSERT_EQ(readInputs(0, report), 0);
    EXPECT_EQ(report[0], 0x08);
    ASSERT_EQ(readInputs(2, report), 0);
    EXPECT_EQ(report[0], 0x00);
    EXPECT_EQ(report[1], 0x02);
    EXPECT_EQ(report[2] & 0x07, 5);   // the address survives single inputs

    EXPECT_EQ(session.handle("inputs 0x0300A5").rfind("ok", 0), 0u);
    ASSERT_EQ(readInputs(2, report), 0);
    EXPECT_EQ(report[0], 0xA5);
    EXPECT_EQ(report[2], 0x03);
    EXPECT_EQ(session.handle("address 6"), "ok board=2 address=6");
    ASSERT_EQ(readInputs(2, report), 0);
    EXPECT_EQ(report[2], 0x06);
    // Inputs 16-18 are the address bits.
    EXPECT_EQ(session.handle("input 16 on"), "ok board=2 input16=on");
    EXPECT_EQ(session.handle("input 17 off"), "ok board=2 input17=off");
    ASSERT_EQ(readInputs(2, report), 0);
    EXPECT_EQ(report[2], 0x05);
}

TEST(SimControlSession, RefusesBoardsItDoesNotServe) {
    VirtualCabinet cab;
    cab.board(1);
    ControlSession session(cab.driver(), {1});
    EXPECT_EQ(session.handle("unplug 0"), "error: no board at instance 0");
    EXPECT_EQ(session.handle("board 3"), "error: no board at instance 3");
    EXPECT_EQ(session.handle("input 1 on"), "ok board=1 input1=on");   // the first board served is selected
    EXPECT_EQ(session.handle("bogus"), "error: unknown command \"bogus\" (try help)");
    EXPECT_EQ(session.handle("# nothing"), "");
    EXPECT_EQ(session.handle("boards"), "ok selected=1 boards=1");
}

TEST(SimControlSession, UnplugReplugAndFailuresReachTheDriver) {
    VirtualCabinet cab;
    cab.board(0);
    ControlSession session(cab.driver(), {0});
    std::string text;
    uint8_t report[3];

    EXPECT_EQ(session.handle("unplug 0"), "ok board=0 unplugged");
    EXPECT_FALSE(cab.driver().pluggedIn(0));
    EXPECT_FALSE(cab.driver().readAttribute("/sys/class/Kmora/Kmora_0/device/product", &text));
    EXPECT_EQ(readInputs(0, report), ENODEV);
    EXPECT_EQ(session.handle("replug 0"), "ok board=0 plugged");
    EXPECT_TRUE(cab.driver().readAttribute("/sys/class/Kmora/Kmora_0/device/product", &text));
    EXPECT_EQ(readInputs(0, report), 0);

    EXPECT_EQ(session.handle("fail 0 2 ETIMEDOUT"), "ok board=0 failing next 2");
    EXPECT_EQ(readInputs(0, report), ETIMEDOUT);
    EXPECT_EQ(readInputs(0, report), ETIMEDOUT);
    EXPECT_EQ(readInputs(0, report), 0);
}

TEST(SimControlSession, TamperTurnsTheReelBehindTheCountersBack) {
    VirtualCabinet cab;
    cab.board(0);
    ControlSession session(cab.driver(), {0});
    EXPECT_EQ(session.handle("tamper 0 2 10"), "ok board=0 reel2 tampered");
    const yarvo::sim::ReelState s = cab.reel(0, 2);
    EXPECT_TRUE(s.tampered);
    EXPECT_FALSE(s.synchronised);
    EXPECT_EQ(s.position, 0u);
    EXPECT_EQ(s.truePosition, 10u);
    const std::string status = session.handle("status");
    EXPECT_NE(status.find("reel2=0/96,stopped,tampered"), std::string::npos) << status;
    EXPECT_NE(status.find("board=0 plugged=yes"), std::string::npos) << status;
}


TEST(SimControlSession, RepliesAreOneLineOfPlainText) {
    VirtualCabinet cab;
    cab.board(0);
    ControlSession session(cab.driver(), {0}, [](unsigned, unsigned reel, uint32_t) {
        return reel == 1 ? std::string("symbol\n\x1b[2J") : std::string();
    });
    const std::string unknown = session.handle("bogus\x1b[2J\xff\\");
    EXPECT_EQ(unknown, "error: unknown command \"bogus\\x1B[2J\\xFF\\x5C\" (try help)");
    const std::string status = session.handle("status");
    EXPECT_NE(status.find("reel1=0/96,stopped,symbol\\x0A\\x1B[2J reel2"), std::string::npos) << status;
    for (const std::string& reply : {unknown, status}) {
        EXPECT_EQ(std::count_if(reply.begin(), reply.end(), [](char c) { return c < 0x20 || c > 0x7E; }), 0);
    }
}

TEST(SimControlSession, RepeatedFailuresCostNothing) {
    VirtualCabinet cab;
    cab.board(0);
    ControlSession session(cab.driver(), {0});
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(session.handle("fail 0 1000000"), "ok board=0 failing next 1000000");
    }
    EXPECT_EQ(cab.driver().pendingFaultRuns(0), 1u);
    EXPECT_EQ(cab.driver().pendingFaults(0), 20000000u);
}

// ------------------------------------------------------------ socket

class SimControlSocket : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/yarvo-ctl-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/ctl.sock";
    }
    void TearDown() override {
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string dir_, path_;
};

TEST_F(SimControlSocket, ServesCommandsAndReportsErrors) {
    VirtualCabinet cab;
    cab.board(0).board(3);
    ControlServer server;
    std::string error;
    ASSERT_TRUE(server.start(path_, cab.driver(), {0, 3}, nullptr, &error)) << error;

    std::vector<std::string> replies;
    EXPECT_EQ(sendControlCommands(path_, {"board 3", "input 5 on", "# quiet", "unplug 0"}, &replies, &error), 0);
    EXPECT_EQ(replies, (std::vector<std::string>{"ok selected=3", "ok board=3 input5=on", "ok board=0 unplugged"}));
    EXPECT_TRUE((cab.driver().withBoard(3, [](yarvo::sim::Firmware& fw) { return fw.inputs(); }) & 0x20u) != 0);
    EXPECT_FALSE(cab.driver().pluggedIn(0));

    // Each connection has its own selection: this one starts at board 0.
    replies.clear();
    EXPECT_EQ(sendControlCommands(path_, {"input 1 on", "input 99 on"}, &replies, &error), 1);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], "ok board=0 input1=on");
    EXPECT_EQ(replies[1].rfind("error: ", 0), 0u);

    server.stop();
    struct stat st;
    EXPECT_NE(::lstat(path_.c_str(), &st), 0) << "socket left behind";
    replies.clear();
    EXPECT_EQ(sendControlCommands(path_, {"status"}, &replies, &error), 2);
    EXPECT_NE(error.find("cannot reach"), std::string::npos);
}

TEST_F(SimControlSocket, ReplacesAStaleSocketButNothingElse) {
    VirtualCabinet cab;
    cab.board(0);
    std::string error;
    {
        // A socket file nobody listens on any more.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    ControlServer server;
    ASSERT_TRUE(server.start(path_, cab.driver(), {0}, nullptr, &error)) << error;
    ControlServer second;
    EXPECT_FALSE(second.start(path_, cab.driver(), {0}, nullptr, &error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    server.stop();

    std::ofstream(path_) << "not a socket\n";
    EXPECT_FALSE(server.start(path_, cab.driver(), {0}, nullptr, &error));
    EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
    std::ifstream kept(path_);
    std::string line;
    std::getline(kept, line);
    EXPECT_EQ(line, "not a socket");
}


// A connected client of the socket at `path`, non-blocking reads with a
// time limit; the first reply line or "" when none comes.
int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
}

std::string replyTo(int fd, const std::string& command) {
    if (!command.empty()) {
        (void)!::send(fd, (command + "\n").data(), command.size() + 1, MSG_NOSIGNAL);
    }
    std::string line;
    char c;
    while (::recv(fd, &c, 1, 0) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

TEST_F(SimControlSocket, ConnectionsBeyondTheCapAreToldBusy) {
    VirtualCabinet cab;
    cab.board(0);
    ControlServer server;
    std::string error;
    ASSERT_TRUE(server.start(path_, cab.driver(), {0}, nullptr, &error)) << error;
    std::vector<int> clients;
    for (size_t i = 0; i < ControlServer::kMaxClients; ++i) {
        clients.push_back(connectTo(path_));
        ASSERT_EQ(replyTo(clients.back(), "boards"), "ok selected=0 boards=0");
    }
    const int extra = connectTo(path_);
    EXPECT_EQ(replyTo(extra, ""), "error: busy: 16 control connections are open");
    ::close(extra);
    ::close(clients.back());
    clients.pop_back();
    std::vector<std::string> replies;
    EXPECT_EQ(sendControlCommands(path_, {"boards"}, &replies, &error), 0) << error;
    for (int fd : clients) {
        ::close(fd);
    }
}

// Out of descriptors, the server still answers every connection (busy)
// instead of leaving them waiting while it spins on the listener.
TEST_F(SimControlSocket, OutOfDescriptorsEveryConnectionIsAnswered) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t server = ::fork();
    if (server == 0) {
        VirtualCabinet cab;
        cab.board(0);
        ControlServer control;
        std::string error;
        if (!control.start(path_, cab.driver(), {0}, nullptr, &error)) {
            ::_exit(1);
        }
        // Eight descriptors to spare beyond those open now.
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        const rlimit limit{static_cast<rlim_t>(lowestFree) + 8, 4096};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        (void)!::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    std::vector<int> clients;
    size_t busy = 0, served = 0;
    for (int i = 0; i < 40; ++i) {
        clients.push_back(connectTo(path_));
        const std::string reply = replyTo(clients.back(), "boards");
        busy += reply.rfind("error: busy", 0) == 0;
        served += reply == "ok selected=0 boards=0";
    }
    EXPECT_GT(busy, 0u);
    EXPECT_GT(served, 0u);
    EXPECT_EQ(busy + served, clients.size());
    for (int fd : clients) {
        ::close(fd);
    }
    std::vector<std::string> replies;
    std::string error;
    EXPECT_EQ(sendControlCommands(path_, {"boards"}, &replies, &error), 0) << error;
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

// Two daemons on one path: a stale socket is taken over, a live one is not,
// a daemon starting there while another is starting gives way, and at stop
// a daemon removes the path only while it is its own socket.
TEST_F(SimControlSocket, OnePathOneDaemon) {
    VirtualCabinet cab;
    cab.board(0);
    std::string error;
    ControlServer first;
    ASSERT_TRUE(first.start(path_, cab.driver(), {0}, nullptr, &error)) << error;
    // Its socket is replaced behind its back (say, by hand): at stop the
    // path is left to the new owner.
    ASSERT_EQ(::rename(path_.c_str(), (path_ + ".old").c_str()), 0);
    ControlServer second;
    ASSERT_TRUE(second.start(path_, cab.driver(), {0}, nullptr, &error)) << error;
    first.stop();
    struct stat st;
    EXPECT_EQ(::lstat(path_.c_str(), &st), 0) << "the second daemon's socket was removed";
    std::vector<std::string> replies;
    EXPECT_EQ(sendControlCommands(path_, {"boards"}, &replies, &error), 0) << error;
    second.stop();
    EXPECT_NE(::lstat(path_.c_str(), &st), 0);
    ::unlink((path_ + ".old").c_str());

    const int dir = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(dir, LOCK_EX), 0);   // another daemon in the middle of starting
    ControlServer third;
    EXPECT_FALSE(third.start(path_, cab.driver(), {0}, nullptr, &error));
    EXPECT_NE(error.find("another simulator is starting"), std::string::npos) << error;
    ::close(dir);
    EXPECT_TRUE(third.start(path_, cab.driver(), {0}, nullptr, &error)) << error;
}

// ------------------------------------------------------------ view model

SymbolStrip strip(uint32_t turn, std::vector<uint32_t> positions) {
    SymbolStrip s;
    s.type = "test";
    s.turnLength = turn;
    s.positions = std::move(positions);
    return s;
}

TEST(SimViewModel, SymbolUnderTheWindowLooksBothWaysRoundTheReel) {
    const SymbolStrip quarter = strip(96, {0, 24, 48, 72});
    const struct {
        uint32_t position;
        unsigned symbol;
        int offset;
    } cases[] = {
        {0, 0, 0}, {24, 1, 0}, {26, 1, 2}, {20, 1, -4}, {95, 0, -1}, {84, 3, 12}, {85, 0, -11}, {96 + 48, 2, 0},
        {12, 0, 12}, {36, 1, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.position);
        const SymbolUnderWindow s = symbolAt(quarter, c.position);
        ASSERT_TRUE(s.known);
        EXPECT_EQ(s.symbol, c.symbol);
        EXPECT_EQ(s.offset, c.offset);
    }
    // Uneven spacing, with the first symbol away from 0.
    const SymbolStrip uneven = strip(400, {10, 30, 200});
    EXPECT_EQ(symbolAt(uneven, 395).symbol, 0u);
    EXPECT_EQ(symbolAt(uneven, 395).offset, -15);
    EXPECT_EQ(symbolAt(uneven, 100).symbol, 1u);
    EXPECT_EQ(symbolAt(uneven, 100).offset, 70);
    EXPECT_EQ(symbolAt(uneven, 120).symbol, 2u);
    EXPECT_EQ(symbolAt(uneven, 120).offset, -80);
    EXPECT_FALSE(symbolAt(strip(96, {}), 5).known);
    EXPECT_FALSE(symbolAt(strip(0, {0}), 5).known);
}

TEST(SimViewModel, ReelRowsTellMotionFlagsAndLamps) {
    yarvo::sim::ReelState s;
    s.turnLength = 96;
    s.position = 30;
    s.truePosition = 30;
    const SymbolStrip quarter = strip(96, {0, 24, 48, 72});
    // Reel 2's lamps are outputs 8, 9, 10; output 11 is not a lamp.
    const uint64_t outputs = (1ull << 8) | (1ull << 10) | (1ull << 11);

    ReelRow row = makeReelRow(2, s, outputs, &quarter, "band-a");
    EXPECT_STREQ(row.motion, "stopped");
    EXPECT_EQ(lampsText(row), "*.*");
    EXPECT_EQ(symbolText(row), "#1+6");
    EXPECT_EQ(reelFlagsText(row), "stopped");

    const struct {
        bool moving, skill, stopping;
        const char* motion;
    } motions[] = {
        {true, false, false, "moving"}, {true, true, false, "skill"}, {true, true, true, "stopping"},
        {true, false, true, "stopping"}, {false, true, false, "stopped"},
    };
    for (const auto& m : motions) {
        s.moving = m.moving;
        s.skill = m.skill;
        s.stopping = m.stopping;
        EXPECT_STREQ(makeReelRow(0, s, 0, nullptr, "").motion, m.motion);
    }
    s.moving = s.skill = s.stopping = false;
    s.synchronised = true;
    EXPECT_EQ(reelFlagsText(makeReelRow(0, s, 0, nullptr, "")), "stopped sync");
    s.synchronised = false;
    s.syncArmed = true;
    s.tampered = true;
    s.truePosition = 48;
    row = makeReelRow(0, s, 0, &quarter, "band-a");
    EXPECT_EQ(reelFlagsText(row), "stopped sync-armed TAMPERED");
    EXPECT_EQ(symbolText(row), "#2");   // what the window shows: the true position
    EXPECT_EQ(lampsText(row), "...");
    EXPECT_NE(reelLine(row).find("30/96   (at 48)"), std::string::npos) << reelLine(row);
    EXPECT_EQ(symbolText(makeReelRow(0, s, 0, nullptr, "")), "-");
}

TEST(SimViewModel, CaptureNamesSymbolsOfTheAssignedTypes) {
    VirtualCabinet cab;
    cab.board(4).address(2);
    cab.driver().withBoard(4, [](yarvo::sim::Firmware& fw) {
        fw.reel(1).nudge(16);   // classic-12: a symbol every 8 half steps
        fw.setInput(0, true);
    });
    ReelLabels labels;
    std::string error;
    ASSERT_TRUE(labels.strips.load(YARVO_EXAMPLE_REEL_FILE, &error)) << error;
    ASSERT_TRUE(labels.assignment.add("band-a,CLASSIC-12", &error)) << error;
    const BoardFrame frame = captureBoard(cab.driver(), 4, labels.strips, labels.assignment);
    EXPECT_EQ(frame.instance, 4u);
    EXPECT_TRUE(frame.plugged);
    EXPECT_EQ(frame.address, 2u);
    EXPECT_EQ(frame.inputs & 1u, 1u);
    EXPECT_EQ(frame.reels[0].type, "band-a");
    EXPECT_EQ(symbolText(frame.reels[0]), "#0");
    EXPECT_EQ(symbolText(frame.reels[1]), "#2");
    EXPECT_TRUE(frame.reels[1].tampered);
    EXPECT_EQ(symbolText(frame.reels[2]), "-");
    cab.driver().unplug(4);
    EXPECT_FALSE(captureBoard(cab.driver(), 4, labels.strips, labels.assignment).plugged);
}

TEST(SimViewModel, MapsAndKeys) {
    EXPECT_EQ(bitMap(0x0000000000000105ull, 12, 4), "#.#. .... #...");
    EXPECT_EQ(bitMap(~0ull, 3, 0), "###");
    for (unsigned input = 0; input < kInputs; ++input) {
        EXPECT_EQ(inputForKey(keyForInput(input)), static_cast<int>(input));
    }
    EXPECT_EQ(inputForKey('y'), -1);
    EXPECT_EQ(inputForKey('A'), -1);
    EXPECT_EQ(keyForInput(24), '?');

    BoardSelection selection({0, 3, 7});
    EXPECT_EQ(selection.current(), 0u);
    selection.previous();
    EXPECT_EQ(selection.current(), 7u);
    selection.next();
    selection.next();
    EXPECT_EQ(selection.current(), 3u);
}

// ------------------------------------------------------------ labels, boards

TEST(SimReelLabels, ReadsSymbolTablesOfTheExampleFile) {
    SymbolStrips strips;
    std::string error;
    ASSERT_TRUE(strips.load(YARVO_EXAMPLE_REEL_FILE, &error)) << error;
    const SymbolStrip* classic = strips.find("Classic-12");
    ASSERT_NE(classic, nullptr);
    EXPECT_EQ(classic->turnLength, 96u);
    ASSERT_EQ(classic->positions.size(), 12u);
    EXPECT_EQ(classic->positions[11], 88u);
    const SymbolStrip* deluxe = strips.find("deluxe-22");
    ASSERT_NE(deluxe, nullptr);
    EXPECT_EQ(deluxe->positions.size(), 22u);
    EXPECT_EQ(strips.find("band-b"), nullptr);
    EXPECT_FALSE(strips.load("/nonexistent/reels.xml", &error));
    EXPECT_NE(error.find("/nonexistent/reels.xml"), std::string::npos);
}

TEST(SimReelLabels, AssignmentsPerBoardOverrideTheDefault) {
    ReelAssignment a;
    std::string error;
    ASSERT_TRUE(a.add("band-a,,classic-12", &error));
    ASSERT_TRUE(a.add("2:deluxe-22", &error));
    EXPECT_EQ(a.typeOf(0, 0), "band-a");
    EXPECT_EQ(a.typeOf(0, 1), "");
    EXPECT_EQ(a.typeOf(5, 2), "classic-12");
    EXPECT_EQ(a.typeOf(2, 0), "deluxe-22");
    EXPECT_EQ(a.typeOf(2, 2), "classic-12");
    EXPECT_FALSE(a.add("x:band-a", &error));
    EXPECT_FALSE(a.add("16:band-a", &error));
    EXPECT_FALSE(a.add("a,b,c,d,e,f,g,h,i", &error));
    EXPECT_NE(error.find("at most 8"), std::string::npos);
}

TEST(SimBoardSetup, BoardEntriesAndTheCabinetTheyBuild) {
    const struct {
        const char* text;
        bool ok;
        unsigned instance, address;
        const char* speed;
    } cases[] = {
        {"0", true, 0, 0, ""},       {"15:7", true, 15, 7, ""}, {"3:2:480", true, 3, 2, "480"},
        {"16", false, 0, 0, ""},     {"1:8", false, 0, 0, ""},  {"1:2:", false, 0, 0, ""},
        {"1:2:4 8", false, 0, 0, ""}, {"", false, 0, 0, ""},    {"a:1", false, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        BoardEntry entry;
        std::string error;
        ASSERT_EQ(parseBoardEntry(c.text, &entry, &error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(entry.instance, c.instance);
            EXPECT_EQ(entry.address, c.address);
            EXPECT_EQ(entry.speed, c.speed);
        }
    }

    CabinetPlan cabinet;
    cabinet.speed = "480";
    cabinet.product = "Some Other Board";
    cabinet.boards = {{2, 5, ""}, {7, 1, "12"}};
    std::string error;
    ASSERT_TRUE(validateCabinet(cabinet, &error)) << error;
    EXPECT_EQ(preloadBoardList(cabinet), "2:5:480,7:1:12");
    VirtualCabinet cab;   // resets the driver afterwards
    buildCabinet(cab.driver(), cabinet);
    std::string text;
    EXPECT_FALSE(cab.driver().present(0));
    ASSERT_TRUE(cab.driver().readAttribute("/sys/class/Kmora/Kmora_2/device/speed", &text));
    EXPECT_EQ(text, "480\n");
    ASSERT_TRUE(cab.driver().readAttribute("/sys/class/Kmora/Kmora_7/device/product", &text));
    EXPECT_EQ(text, "Some Other Board\n");
    EXPECT_EQ(cab.driver().withBoard(2, [](yarvo::sim::Firmware& fw) { return fw.inputs(); }) >> 16, 5u);

    cabinet.boards.push_back({2, 0, ""});
    EXPECT_FALSE(validateCabinet(cabinet, &error));
    EXPECT_NE(error.find("twice"), std::string::npos);
    EXPECT_EQ(preloadBoardList(CabinetPlan()), "0:0:12");
}

}  // namespace

#endif
