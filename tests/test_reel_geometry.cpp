// Pure reel computations: symbol search, inter-symbol distance, symbol-count
// moves, speed choice and skill-stop prediction, on small hand-made tables.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "reel_geometry.h"

namespace {

namespace geo = yarvo::geometry;

SymbolTableDef symbols(uint32_t stepsPerTurn, std::initializer_list<uint32_t> positions) {
    SymbolTableDef t;
    std::memset(&t, 0, sizeof t);
    t.stepsPerTurn = stepsPerTurn;
    for (uint32_t p : positions) {
        t.symbolPositions[t.symbolsPerTurn++] = p;
    }
    return t;
}

// N evenly spaced symbols, `gap` half steps apart.
SymbolTableDef evenSymbols(uint32_t stepsPerTurn, unsigned n, uint32_t gap) {
    SymbolTableDef t = symbols(stepsPerTurn, {});
    t.symbolsPerTurn = static_cast<unsigned char>(n);
    for (unsigned i = 0; i < n; ++i) {
        t.symbolPositions[i] = i * gap;
    }
    return t;
}

// T = 100, five symbols at 4, 22, 40, 61, 80.
const SymbolTableDef kFive = symbols(50, {4, 22, 40, 61, 80});
// T = 192, twelve symbols 16 apart.
const SymbolTableDef kTwelve = evenSymbols(96, 12, 16);

struct RampRow {
    int speed;
    int stepType;
    unsigned char up, down;
};

ReelDataDef speeds(std::initializer_list<RampRow> tables) {
    ReelDataDef d;
    std::memset(&d, 0, sizeof d);
    for (const RampRow& r : tables) {
        RampTableDef& t = d.rampTables[d.rampTableCount++];
        t.speed = r.speed;
        t.stepType = r.stepType;
        t.rampUp.length = r.up;
        t.rampDown.length = r.down;
    }
    return d;
}

// Speed 100 full 10/8, speed 200 half 20/16, speed 50 half 4/4.
const ReelDataDef kThreeSpeeds = speeds({{100, 1, 10, 8}, {200, 0, 20, 16}, {50, 0, 4, 4}});

constexpr bool F = true;   // forward
constexpr bool B = false;  // backward

TEST(ReelGeometry, NearestSymbol) {
    struct Case {
        const char* what;
        SymbolTableDef table;
        uint32_t position;
        bool forward;
        bool ok;
        unsigned symbol;
        uint32_t distance;
    };
    const Case cases[] = {
        {"between, ahead", kFive, 45, F, true, 3, 16},
        {"between, behind", kFive, 45, B, true, 2, 5},
        {"on a symbol, ahead", kFive, 40, F, true, 2, 0},
        {"on a symbol, behind", kFive, 40, B, true, 2, 0},
        {"past the last, wraps ahead", kFive, 90, F, true, 0, 14},
        {"past the last, behind", kFive, 90, B, true, 4, 10},
        {"before the first, ahead", kFive, 2, F, true, 0, 2},
        {"before the first, wraps behind", kFive, 2, B, true, 4, 22},
        {"on the last symbol does not wrap", kFive, 80, F, true, 4, 0},
        {"on the first symbol does not wrap", kFive, 4, B, true, 0, 0},
        {"last position of the turn", kFive, 99, F, true, 0, 5},
        {"position T fails forwards", kFive, 100, F, false, 0, 0},
        {"position T fails backwards", kFive, 100, B, false, 0, 0},
        {"no steps per turn", symbols(0, {0}), 0, F, false, 0, 0},
        {"no symbols", symbols(50, {}), 10, F, false, 0, 0},
        {"no symbols backwards", symbols(50, {}), 10, B, false, 0, 0},
        {"single symbol, wraps ahead", symbols(50, {10}), 95, F, true, 0, 15},
        {"single symbol, wraps behind", symbols(50, {10}), 5, B, true, 0, 95},
        {"shared position, ahead takes lower", symbols(50, {10, 30, 30, 70}), 30, F, true, 1, 0},
        {"shared position, behind takes higher", symbols(50, {10, 30, 30, 70}), 30, B, true, 2, 0},
        // Not ascending: the first index at or beyond the position wins.
        {"unordered, first at or beyond", symbols(50, {60, 20, 80}), 30, F, true, 0, 30},
        {"unordered, scan from the top", symbols(50, {60, 20, 80}), 70, B, true, 1, 50},
        // A symbol beyond the turn makes the wrap distance go round 2^32.
        {"symbol beyond turn, ahead", symbols(50, {10, 300}), 50, F, true, 1, 250},
        {"symbol beyond turn, wrap behind", symbols(50, {10, 300}), 5, B, true, 1, 5u + 100u - 300u},
        // Steps per turn of 2^31 give a turn of 0 in 32 bits: nothing fits.
        {"turn wraps to 0", symbols(0x80000000u, {0}), 0, F, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        geo::SymbolHit hit{77, 777};
        ASSERT_EQ(geo::nearestSymbol(c.table, c.position, c.forward, &hit), c.ok);
        if (c.ok) {
            EXPECT_EQ(hit.symbol, c.symbol);
            EXPECT_EQ(hit.distance, c.distance);
        } else {
            EXPECT_EQ(hit.symbol, 77);
            EXPECT_EQ(hit.distance, 777u);
        }
    }
}

TEST(ReelGeometry, InterSymbolDistance) {
    struct Case {
        const char* what;
        SymbolTableDef table;
        unsigned from, to;
        bool forward;
        uint32_t distance;
    };
    const Case cases[] = {
        {"forward up", kFive, 1, 3, F, 39},
        {"forward across the end", kFive, 3, 1, F, 61},
        {"backward down", kFive, 3, 1, B, 39},
        {"backward across the start", kFive, 1, 3, B, 61},
        {"forward last to first", kFive, 4, 0, F, 24},
        {"backward first to last", kFive, 0, 4, B, 24},
        {"same symbol forward", kFive, 2, 2, F, 0},
        {"same symbol backward", kFive, 2, 2, B, 0},
        {"from out of range", kFive, 5, 0, F, 0},
        {"to out of range", kFive, 0, 5, B, 0},
        {"single symbol", symbols(50, {10}), 0, 0, F, 0},
        {"twelve, two symbols on", kTwelve, 3, 5, F, 32},
        {"twelve, backward across the start", kTwelve, 1, 11, B, 32},
        // Gaps are summed one by one, each wrapping in 32 bits.
        {"unordered forward", symbols(50, {60, 20, 80}), 0, 2, F, (20u - 60u) + (80u - 20u)},
        {"across end beyond the turn", symbols(50, {10, 300}), 1, 0, F, 100u - 300u + 10u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(geo::interSymbolDistance(c.table, static_cast<unsigned char>(c.from),
                                           static_cast<unsigned char>(c.to), c.forward),
                  c.distance);
    }
    // From position 45 forward to symbol 1: 16 to symbol 3, then 61.
    geo::SymbolHit hit;
    ASSERT_TRUE(geo::nearestSymbol(kFive, 45, F, &hit));
    EXPECT_EQ(hit.distance + geo::interSymbolDistance(kFive, hit.symbol, 1, F), 77u);
}

TEST(ReelGeometry, SymbolCountMove) {
    const SymbolTableDef two00 = evenSymbols(2000, 200, 20);
    struct Case {
        const char* what;
        SymbolTableDef table;
        unsigned nearest;
        uint32_t toNearest;
        unsigned count;
        bool forward;
        unsigned target;  // symbolsOn(nearest, count % N)
        bool ok;
        uint32_t move;
    };
    const Case cases[] = {
        {"14 symbols: one turn and two", kTwelve, 2, 12, 14, F, 4, true, 236},
        {"3 symbols back", kTwelve, 1, 4, 3, B, 10, true, 52},
        {"one symbol", kTwelve, 2, 2, 1, F, 3, true, 18},
        {"forward onto symbol 0", kTwelve, 10, 0, 2, F, 0, true, 32},
        {"synchronise: 25 symbols", kTwelve, 2, 12, 25, F, 3, true, 412},
        {"exact multiple: whole turns only", kTwelve, 2, 12, 24, F, 2, true, 12 + 2 * 192},
        {"200 symbols, from 150 on 150", two00, 150, 0, 150, F, 100, true, 150 * 20},
        {"back across symbol 0", kTwelve, 1, 0, 5, B, 8, true, 5 * 16},
        // 22369621 turns of 192 exceed 2^32 - 1.
        {"overflow", kTwelve, 0, 0, 12u * 22369622u, F, 0, false, 0},
        {"largest move that fits", kTwelve, 0, 63, 12u * 22369621u, F, 0, true, UINT32_MAX},
        {"one more half step", kTwelve, 0, 64, 12u * 22369621u, F, 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const unsigned n = c.table.symbolsPerTurn;
        EXPECT_EQ(geo::symbolsOn(static_cast<unsigned char>(c.nearest), c.count % n, n, c.forward), c.target);
        uint32_t move = 4242;
        ASSERT_EQ(geo::symbolCountMove(c.table, static_cast<unsigned char>(c.nearest), c.toNearest,
                                       c.count, c.forward, &move),
                  c.ok);
        EXPECT_EQ(move, c.ok ? c.move : 4242u);
    }
}

TEST(ReelGeometry, ShortMovesGainOneTurn) {
    struct Case {
        const char* what;
        uint32_t move;
        unsigned size, up, down;
        uint32_t stretched;
    };
    const Case cases[] = {
        {"long enough", 60, 2, 10, 8, 60},
        {"5 steps are too few", 10, 2, 10, 8, 202},
        {"on the symbol: one whole turn", 0, 2, 10, 8, 192},
        {"exactly the minimum (17 steps)", 34, 2, 10, 8, 34},
        {"odd half step dropped below the minimum", 33, 2, 10, 8, 33 + 192},
        {"half steps", 17, 1, 10, 8, 17},
        {"stretched once only", 10, 2, 200, 200, 202},
        {"two empty tables never fit", 1000, 1, 0, 0, 1192},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(geo::stretchShortMove(c.move, 192, c.size, c.up, c.down), c.stretched);
    }
}

TEST(ReelGeometry, NearestSpeed) {
    struct Case {
        const char* what;
        ReelDataDef def;
        int speed;
        unsigned index;
    };
    const Case cases[] = {
        {"backwards 160: distances 60, 40, 110", kThreeSpeeds, -160, 1},
        {"150: tie keeps the earlier", kThreeSpeeds, 150, 0},
        {"0: nearest to standstill", kThreeSpeeds, 0, 2},
        {"exact", kThreeSpeeds, 50, 2},
        {"one table takes everything", speeds({{300, 1, 5, 5}}), -7, 0},
        {"200 listed first wins the tie", speeds({{200, 0, 5, 5}, {100, 0, 5, 5}}), 150, 0},
        {"100 listed first wins the tie", speeds({{100, 0, 5, 5}, {200, 0, 5, 5}}), 150, 0},
        {"most negative request", speeds({{100, 0, 5, 5}, {200, 0, 5, 5}}), INT_MIN, 1},
        {"extreme table speeds", speeds({{INT_MIN, 0, 5, 5}, {INT_MAX, 0, 5, 5}}), INT_MAX, 1},
        {"no tables", speeds({}), 100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(geo::nearestSpeedIndex(c.def, c.speed), c.index);
    }
}

TEST(ReelGeometry, AlternativeSpeed) {
    struct Case {
        const char* what;
        ReelDataDef def;
        uint32_t move;
        int speed;
        int index;
    };
    const Case cases[] = {
        // 18/2 = 9 < 17; 18 < 35; 18 >= 7.
        {"only the slow half-step table fits", kThreeSpeeds, 18, 100, 2},
        {"nothing fits", kThreeSpeeds, 6, 100, -1},
        {"exactly the threshold fits", kThreeSpeeds, 34, 100, 0},
        {"one below the threshold", kThreeSpeeds, 33, 100, 2},
        {"all fit: nearest wins", kThreeSpeeds, 400, -190, 1},
        // The nearest search always starts from table 0; this one skips it
        // when it does not fit, even when it is the nearest.
        {"nearest table does not fit", speeds({{100, 0, 30, 30}, {300, 0, 2, 2}, {400, 0, 2, 2}}), 10, 100, 1},
        {"tie among fitting keeps the earlier", speeds({{100, 0, 30, 30}, {50, 0, 2, 2}, {150, 0, 2, 2}}), 10, 100, 1},
        {"empty ramps never fit", speeds({{100, 0, 0, 0}}), 100000, 100, -1},
        {"no tables", speeds({}), 100, 100, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(geo::alternativeSpeedIndex(c.def, c.move, c.speed), c.index);
    }
    // Where the two searches part: table 0 is nearest but too long for the move.
    const ReelDataDef d = speeds({{100, 0, 30, 30}, {300, 0, 2, 2}});
    EXPECT_EQ(geo::nearestSpeedIndex(d, 100), 0u);
    EXPECT_EQ(geo::alternativeSpeedIndex(d, 10, 100), 1);
}

TEST(ReelGeometry, SkillStopPrediction) {
    uint32_t lead = 0;
    ASSERT_TRUE(geo::skillStopLead(kTwelve, 8, &lead));
    ASSERT_EQ(lead, 18u);  // 96 / 12 + 8 + 2
    uint32_t untouched = 5;
    EXPECT_FALSE(geo::skillStopLead(symbols(96, {}), 8, &untouched));
    EXPECT_EQ(untouched, 5u);

    struct Case {
        const char* what;
        uint16_t position;
        bool forward;
        uint16_t predicted;
        unsigned symbol;
        uint32_t toSymbol;
        uint32_t stop;
    };
    const Case cases[] = {
        {"forwards", 100, F, 118, 8, 10, 128},
        {"forwards across the end", 180, F, 6, 1, 10, 16},
        {"backwards", 100, B, 82, 5, 2, 80},
        {"backwards across the start", 10, B, 184, 11, 8, 176},
        {"prediction on a symbol", 110, F, 128, 8, 0, 128},
        {"lead equal to the position", 18, B, 0, 0, 0, 0},
        {"stop on the end of the turn wraps to 0", 159, F, 177, 0, 15, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint16_t q = geo::predictedStop(c.position, lead, 192, c.forward);
        EXPECT_EQ(q, c.predicted);
        geo::SymbolHit hit;
        ASSERT_TRUE(geo::nearestSymbol(kTwelve, q, c.forward, &hit));
        EXPECT_EQ(hit.symbol, c.symbol);
        EXPECT_EQ(hit.distance, c.toSymbol);
        EXPECT_EQ(geo::positionOn(q, hit.distance, 192, c.forward), c.stop);
    }
    // A lead longer than a turn leaves the prediction outside it.
    EXPECT_GE(geo::predictedStop(150, 300, 192, F), 192);
    // Stepping back over the start of the turn.
    EXPECT_EQ(geo::positionOn(4, 10, 192, B), 186u);
}

TEST(ReelGeometry, NearestSymbolEitherWay) {
    struct Case {
        const char* what;
        SymbolTableDef table;
        uint32_t position;
        bool ok;
        unsigned symbol;
        int offset;
    };
    const Case cases[] = {
        {"nearer behind", kTwelve, 20, true, 1, +4},
        {"half-way: the one ahead", kTwelve, 24, true, 2, -8},
        {"nearer ahead", kTwelve, 30, true, 2, -2},
        {"on a symbol", kTwelve, 32, true, 2, 0},
        {"ahead across the end", kTwelve, 190, true, 0, -2},
        {"outside the turn", kTwelve, 192, false, 0, 0},
        {"no symbols", symbols(96, {}), 0, false, 0, 0},
        // Only the low 8 bits of the offset are kept.
        {"200 ahead reads +56", symbols(500, {300, 700}), 100, true, 0, 56},
        {"200 behind reads -56", symbols(500, {100, 800}), 300, true, 0, -56},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t symbol = 99;
        signed char offset = 99;
        ASSERT_EQ(geo::nearestSymbolEitherWay(c.table, c.position, &symbol, &offset), c.ok);
        EXPECT_EQ(symbol, c.ok ? c.symbol : 99u);
        EXPECT_EQ(offset, c.ok ? c.offset : 99);
    }
}

}  // namespace
