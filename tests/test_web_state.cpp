// The browser view's data: reel states and speeds, the state and layout
// encoding, the fault panel's rows, actions, the --web address and the
// cabinet file.
#ifdef YARVO_TEST_WEB
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cabinet_file.h"
#include "web_state.h"

namespace yarvo::simtool::web {
namespace {

using nlohmann::json;

// A spin by steps ramps up, runs at speed and ramps down; a skill spin is
// "skill" until it is told where to stop.  Speed: half steps a second.
TEST(WebState, ReelStatesFollowTheMotion) {
    sim::Reel reel;
    const uint8_t up[2] = {40, 20}, down[2] = {20, 40};   // 4 ms, 2 ms, ... a step
    reel.setRampUp(up, 2);
    reel.setRampDown(down, 2);
    EXPECT_EQ(reelState(reel.snapshot()), kStopped);
    EXPECT_EQ(reelSpeed(reel.snapshot()), 0);

    ASSERT_TRUE(reel.spin(-2, 10));   // full steps backwards
    struct Step {
        uint64_t advance;
        ReelState state;
        int32_t speed;
    };
    const Step steps[] = {
        {0, kRampingUp, -500},      // first step at 4 ms: 2 half steps / 4 ms
        {4000, kRampingUp, -1000},  // second ramp-up step at 2 ms
        {2000, kAtSpeed, -1000},    // cruising at the last ramp-up period
        {12000, kRampingDown, -1000}, // six more steps: two to go
        {2000, kRampingDown, -500},
        {4000, kStopped, 0},
    };
    for (const Step& s : steps) {
        reel.advance(s.advance);
        SCOPED_TRACE(reel.snapshot().stepsTaken);
        EXPECT_STREQ(kReelStateNames[reelState(reel.snapshot())], kReelStateNames[s.state]);
        EXPECT_EQ(reelSpeed(reel.snapshot()), s.speed);
    }

    ASSERT_TRUE(reel.startSkill(1));
    reel.advance(100000);
    EXPECT_EQ(reelState(reel.snapshot()), kSkill);
    reel.stopAtPosition(50);
    EXPECT_EQ(reelState(reel.snapshot()), kAtSpeed);
    reel.advance(1000000);
    EXPECT_EQ(reelState(reel.snapshot()), kStopped);
    EXPECT_EQ(reel.snapshot().position, 50u);
}

WebBoard boardWithReels() {
    WebBoard b;
    b.snapshot.instance = b.frame.instance = 3;
    b.frame.plugged = b.snapshot.plugged = true;
    b.frame.address = 5;
    b.frame.inputs = 0x050100;
    b.frame.outputs = b.snapshot.outputs = 0x8000000100000012ull;
    b.snapshot.power = 1;
    b.snapshot.pendingFaults = 2;
    for (unsigned r = 0; r < kReels; ++r) {
        b.frame.reels[r].reel = r;
        b.frame.reels[r].turnLength = 96;
    }
    ReelRow& row = b.frame.reels[1];
    row.type = "classic-12";
    row.position = 40;
    row.truePosition = 44;   // turned by hand
    row.tampered = true;
    row.symbol = {true, 5, 4};
    sim::ReelSnapshot& reel = b.snapshot.reels[1];
    reel.moving = true;
    reel.stepMode = -2;
    reel.stepPeriodMicros = 2000;
    reel.stepsToGo = 7;
    b.snapshot.reels[2].jammed = true;
    b.snapshot.reels[2].positionError = true;
    b.snapshot.reels[3].indexSensor = sim::IndexSensor::Stuck;
    b.snapshot.reels[3].jamPending = true;
    return b;
}

TEST(WebState, StateCarriesEveryReelAsAnArray) {
    const json state = json::parse(encodeState({boardWithReels()}));
    const json& board = state["boards"][0];
    EXPECT_EQ(board["i"], 3);
    EXPECT_EQ(board["address"], 5);
    EXPECT_EQ(board["outputs"], json::array({0x12u, 0x80000001u}));   // low word, high word
    EXPECT_EQ(board["faults"], 2);
    ASSERT_EQ(board["reels"].size(), kReels);
    // position, true position, turn, state, flags (tampered, in use), speed, half steps to go, symbol, offset
    EXPECT_EQ(board["reels"][1], json::array({40, 44, 96, kAtSpeed, 2 | 8, -1000, 14, 5, 4}));
    EXPECT_EQ(board["reels"][0], json::array({0, 0, 96, kStopped, 0, 0, 0, -1, 0}));
    // Faults: 4 jammed, 8 position error; 7 index stuck, 10 jams later.
    EXPECT_EQ(board["reels"][2][4], 16 | 256);
    EXPECT_EQ(board["reels"][3][4], 128 | 1024);
}

TEST(WebState, LayoutNamesWhatTheCabinetFileNames) {
    SymbolStrips strips;
    std::string error;
    ASSERT_TRUE(strips.load(YARVO_EXAMPLE_REEL_FILE, &error)) << error;
    CabinetFile cabinet;
    ASSERT_TRUE(cabinet.parse(R"({"inputs": {"8": "Start"}, "outputs": {"40": "Hopper"},
        "reel-types": {"CLASSIC-12": {"symbols": [{"label": "7", "colour": "#d01c1c"}]}}})", "cab.json", &error))
        << error;
    BoardTexts texts;
    texts.instance = 3;
    texts.firmware = "YARVO-SIM 1.0";
    const json layout = json::parse(encodeLayout({texts}, {boardWithReels()}, strips, cabinet));
    EXPECT_EQ(layout["boards"][0]["firmware"], "YARVO-SIM 1.0");
    EXPECT_EQ(layout["boards"][0]["reels"][1], "classic-12");
    EXPECT_EQ(layout["types"].size(), 1u);   // only the types in use
    const json& type = layout["types"]["classic-12"];
    EXPECT_EQ(type["turn"], 96);
    EXPECT_EQ(type["positions"].size(), 12u);
    EXPECT_EQ(type["labels"][0], "7");    // the file's type name matched ignoring case
    EXPECT_EQ(type["colours"][0], "#d01c1c");
    EXPECT_EQ(type["labels"][1], "");     // beyond the file's list: the symbol's number
    EXPECT_EQ(layout["inputs"]["8"], "Start");
    EXPECT_EQ(layout["outputs"]["40"], "Hopper");
    EXPECT_EQ(layout["faults"].size(), faultControls().size());
    EXPECT_EQ(layout["errnos"][0], "EIO");
    EXPECT_EQ(layout["power"], json({{"0", "failed"}, {"1", "good"}, {"2", "low"}}));
}

// Every row of the fault panel, filled in as the page fills it, is an
// action the control channel takes.
TEST(WebState, FaultPanelRowsAreActions) {
    for (const FaultControl& c : faultControls()) {
        std::string line = std::string(c.command) + " 3";
        for (const FaultField& f : c.fields) {
            const std::string kind = f.kind;
            line += " " + (kind == "errno" ? std::string("ETIMEDOUT")
                           : kind == "choice" ? std::string(f.choices).substr(0, std::string(f.choices).find('|'))
                                              : std::to_string(f.initial));
        }
        SCOPED_TRACE(line);
        WebAction action;
        std::string reason;
        EXPECT_TRUE(parseAction(json({{"board", 3}, {"command", line}}).dump(), {0, 3}, &action, &reason)) << reason;
        EXPECT_NE(std::string(c.label).find("{board}"), std::string::npos);
    }
}

TEST(WebState, ActionsAreCheckedBeforeTheyRun) {
    struct Case {
        std::string body;
        const char* reason;   // null: accepted
    };
    const Case cases[] = {
        {R"({"board": 0, "command": "input 5 on"})", nullptr},
        {R"({"board": 2, "command": "tamper 2 7 -8"})", nullptr},
        {R"({"board": 0, "command": "input 24 on"})", "input \"24\" is not 0 to 23"},
        {R"({"board": 1, "command": "unplug 1"})", "board 1 is not served here"},
        {R"({"board": 0, "command": "unplug 2"})", "names board 2, the action is for board 0"},
        {R"({"board": 0, "command": "status"})", "\"status\" is not an action"},
        {R"({"board": 0, "command": "board 2"})", "is not an action"},
        {R"({"board": 0, "command": "fail 0 3 ESPIPE"})", "not an errno a board's driver returns"},
        {R"({"board": 0, "command": "tamper 0 8 1"})", "reel \"8\" is not 0 to 7"},
        {R"({"board": 0, "command": ""})", "the command is empty"},
        {R"({"board": 0, "command": "input 5 on\nunplug 0"})", "one line"},
        {R"({"board": -1, "command": "unplug 0"})", "\"board\" must be"},
        {R"({"board": 0, "command": "unplug 0", "x": 1})", "JSON object"},
        {R"(["unplug 0"])", "JSON object"},
        {"unplug 0", "JSON object"},
        {"{\"board\": 0, \"command\": \"" + std::string(1100, 'a') + "\"}", "at most 1024 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 60));
        WebAction action;
        std::string reason;
        const bool accepted = parseAction(c.body, {0, 2}, &action, &reason);
        EXPECT_EQ(accepted, c.reason == nullptr) << reason;
        if (c.reason != nullptr) {
            EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        }
    }
}

TEST(WebState, WebAddresses) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        unsigned port;
        bool loopback;
    };
    const Case cases[] = {
        {"", true, "127.0.0.1", 0, true},
        {"8080", true, "127.0.0.1", 8080, true},
        {":0", true, "127.0.0.1", 0, true},
        {"localhost:9000", true, "localhost", 9000, true},
        {"127.0.0.2:1", true, "127.0.0.2", 1, true},
        {"[::1]:8080", true, "::1", 8080, true},
        {"0.0.0.0:8080", true, "0.0.0.0", 8080, false},
        {"cabinet.example:80", true, "cabinet.example", 80, false},
        {"65536", false, "", 0, false},
        {"::1:8080", false, "", 0, false},
        {"host:port", false, "", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        WebAddress a;
        std::string error;
        ASSERT_EQ(parseWebAddress(c.text, &a, &error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(a.host, c.host);
            EXPECT_EQ(a.port, c.port);
            EXPECT_EQ(a.loopback, c.loopback);
        }
    }
}

TEST(WebState, CabinetFileIsCheckedWithItsPlace) {
    const std::pair<const char*, const char*> bad[] = {
        {"{", "c.json: not JSON"},
        {"[]", "c.json: the file: must be an object"},
        {R"({"ouputs": {}})", "c.json: the file: unknown key \"ouputs\""},
        {R"({"inputs": {"24": "x"}})", "c.json: inputs: \"24\" is not an input 0 to 23"},
        {R"({"outputs": {"3": 7}})", "c.json: outputs 3: must be a name"},
        {R"({"inputs": {"1": "two\nlines"}})", "c.json: inputs 1: must be a name"},
        {R"({"reel-types": {"a": {"symbols": [{"colour": "red"}]}}})", "reel-types a symbol 0 colour"},
        {R"({"reel-types": {"a": {"symbols": [{"label": "ABCDEFGHIJKLM"}]}}})", "reel-types a symbol 0 label"},
        {R"({"reel-types": {"a": {"symbol": []}}})", "reel-types a: unknown key \"symbol\""},
    };
    for (const auto& [text, message] : bad) {
        SCOPED_TRACE(text);
        CabinetFile file;
        std::string error;
        EXPECT_FALSE(file.parse(text, "c.json", &error));
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    CabinetFile file;
    std::string error;
    ASSERT_TRUE(file.load(YARVO_DEMO_CABINET_FILE, &error)) << error;
    EXPECT_EQ(file.inputNames.at(8), "Start");
    ASSERT_NE(file.symbolsOf("Classic-20"), nullptr);
    EXPECT_EQ(file.symbolsOf("classic-20")->size(), 20u);
    EXPECT_FALSE(file.load("/dev/zero", &error));
}

}  // namespace
}  // namespace yarvo::simtool::web
#endif
