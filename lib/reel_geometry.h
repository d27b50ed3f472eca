// Pure reel computations over the definition records: where a position lies
// among a reel's symbols, how far apart two symbols are, which of a reel's
// speeds serves a request, and where a skill stop will land.  No status codes
// and no board commands: the symbol-level operations of Yarvo wrap these and
// add both.
//
// Units: positions and distances are half steps; one turn is
// T = 2 x steps per turn half steps.  Sums and differences of positions are
// unsigned 32-bit and wrap modulo 2^32, so that every table, ascending or not,
// gives a defined result.
#ifndef YARVO_REEL_GEOMETRY_H
#define YARVO_REEL_GEOMETRY_H

#include <cstdint>

#include "yarvo.h"

namespace yarvo::geometry {

// ---------------------------------------------------------------- symbols

struct SymbolHit {
    unsigned char symbol = 0;
    uint32_t distance = 0;
};

inline uint32_t turnLength(const SymbolTableDef& t) { return 2u * t.stepsPerTurn; }

// Index of the first of p[0 .. n-1] at or beyond `position`.  The caller
// makes sure that there is one (p[n-1] is).
inline unsigned firstAtOrBeyond(const uint32_t* p, uint32_t position) {
    unsigned i = 0;
    while (p[i] < position) ++i;
    return i;
}

// Index of the last of p[0 .. n-1] at or before `position`.  The caller
// makes sure that there is one (p[0] is).
inline unsigned lastAtOrBefore(const uint32_t* p, unsigned n, uint32_t position) {
    unsigned i = n - 1;
    while (p[i] > position) --i;
    return i;
}

// The first symbol that a reel at `position` meets moving in the given
// direction (the symbol at the position itself included) and the distance to
// it.  False for a position outside the turn or a table without symbols.
// Wrapping is strict: forwards only when the position lies beyond the last
// symbol, backwards only when it lies before the first; two symbols on one
// position give the lower index forwards and the higher backwards.
inline bool nearestSymbol(const SymbolTableDef& t, uint32_t position, bool forward, SymbolHit* hit) {
    const uint32_t turn = turnLength(t);
    const unsigned n = t.symbolsPerTurn;
    if (position >= turn || n == 0) {
        return false;
    }
    const uint32_t* p = t.symbolPositions;
    if (forward) {
        if (position > p[n - 1]) {
            *hit = {0, turn - position + p[0]};
            return true;
        }
        const unsigned i = firstAtOrBeyond(p, position);
        *hit = {static_cast<unsigned char>(i), p[i] - position};
        return true;
    }
    if (position < p[0]) {
        *hit = {static_cast<unsigned char>(n - 1), position + turn - p[n - 1]};
        return true;
    }
    const unsigned i = lastAtOrBefore(p, n, position);
    *hit = {static_cast<unsigned char>(i), position - p[i]};
    return true;
}

// Distance from symbol `from` to symbol `to` walking in the given direction:
// the sum of the gaps passed, the gap across the end of the turn counting
// T - p[N-1] + p[0].  0 when the two are equal or either is not a symbol.
// Modulo 2^32 the gaps telescope to p[to] - p[from], plus T when the walk
// crosses the end, for every table, ascending or not.
inline uint32_t interSymbolDistance(const SymbolTableDef& t, unsigned char from, unsigned char to,
                                    bool forward) {
    const unsigned n = t.symbolsPerTurn;
    if (to >= n || from >= n || from == to) {
        return 0;
    }
    const uint32_t* p = t.symbolPositions;
    if (forward) {
        return from < to ? p[to] - p[from] : turnLength(t) + p[to] - p[from];
    }
    return from > to ? p[from] - p[to] : turnLength(t) + p[from] - p[to];
}

// The symbol `count` symbols on from symbol `from` (count below N).
inline unsigned char symbolsOn(unsigned char from, unsigned count, unsigned symbols, bool forward) {
    unsigned t;
    if (forward) {
        t = from + count;
        if (t >= symbols) {
            t -= symbols;
        }
    } else {
        t = from >= count ? from - count : from + symbols - count;
    }
    return static_cast<unsigned char>(t);
}

// The move of a spin by `count` symbols from a reel that is `toNearest` half
// steps short of symbol `nearest` in the direction of travel: to that symbol,
// whole turns for each N symbols, then on to the remaining symbol.  Worked in
// 64 bits; false when the move does not fit 32 bits.  The table has symbols.
inline bool symbolCountMove(const SymbolTableDef& t, unsigned char nearest, uint32_t toNearest,
                            unsigned count, bool forward, uint32_t* move) {
    const unsigned n = t.symbolsPerTurn;
    const uint64_t whole = static_cast<uint64_t>(count / n) * turnLength(t);
    const unsigned char target = symbolsOn(nearest, count % n, n, forward);
    const uint64_t total = toNearest + whole + interSymbolDistance(t, nearest, target, forward);
    if (total > UINT32_MAX) {
        return false;
    }
    *move = static_cast<uint32_t>(total);
    return true;
}

// The symbol nearest to `position` looking both ways and the position's
// offset from it, of which only the low 8 bits are kept: minus the distance
// ahead, or plus the distance behind when that is strictly shorter (a tie
// gives the symbol ahead).  False as nearestSymbol.
inline bool nearestSymbolEitherWay(const SymbolTableDef& t, uint32_t position, uint32_t* symbol,
                                   signed char* offset) {
    SymbolHit ahead, behind;
    if (!nearestSymbol(t, position, true, &ahead) || !nearestSymbol(t, position, false, &behind)) {
        return false;
    }
    if (ahead.distance <= behind.distance) {
        *symbol = ahead.symbol;
        *offset = static_cast<signed char>(static_cast<uint8_t>(0u - ahead.distance));
    } else {
        *symbol = behind.symbol;
        *offset = static_cast<signed char>(static_cast<uint8_t>(behind.distance));
    }
    return true;
}

// ------------------------------------------------------------ speeds

// Step size of a speed entry: 2 for full steps, 1 for half steps.
inline signed char stepSize(const RampTableDef& r) { return r.stepType != 0 ? 2 : 1; }

// | |requested| - table speed |, exact for every 32-bit pair.
inline int64_t speedDistance(int requested, int tableSpeed) {
    int64_t m = requested;
    if (m < 0) {
        m = -m;
    }
    const int64_t d = m - tableSpeed;
    return d < 0 ? -d : d;
}

// True when the ramp tables of `tableSpeed` are those in force on a reel
// whose signed current speed is `currentSpeed`.
inline bool speedInForce(int currentSpeed, int tableSpeed) {
    int64_t m = currentSpeed;
    if (m < 0) {
        m = -m;
    }
    return m == tableSpeed;
}

// A table speed with the sign of the direction of travel (wrapping).
inline int signedSpeed(int tableSpeed, bool backward) {
    return backward ? static_cast<int>(0u - static_cast<uint32_t>(tableSpeed)) : tableSpeed;
}

// Index of the speed entry nearest to |speed| among all of the reel's
// entries; on equal distances the earlier entry stays.  0 for 0 or 1 entries.
inline unsigned nearestSpeedIndex(const ReelDataDef& d, int speed) {
    unsigned best = 0;
    int64_t bestDistance = speedDistance(speed, d.rampTables[0].speed);
    // An exact match cannot be beaten, and the earlier entry keeps a tie: the
    // search ends at the first one (hosts mostly ask for listed speeds).
    for (unsigned i = 1; i < d.rampTableCount && bestDistance != 0; ++i) {
        const int64_t distance = speedDistance(speed, d.rampTables[i].speed);
        if (distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

// True when a move of `move` half steps at step size `size` covers the
// ramps: move / size is at least rampUp + rampDown - 1 (unsigned 32-bit, so
// two empty tables never fit).
inline bool rampsFit(uint32_t move, unsigned size, unsigned rampUp, unsigned rampDown) {
    return move / size >= static_cast<uint32_t>(rampUp + rampDown) - 1u;
}

// Index of the speed entry nearest to |speed| among those whose own ramps
// fit a move of `move` half steps; on equal distances the earlier entry
// stays.  -1 when none fits.
inline int alternativeSpeedIndex(const ReelDataDef& d, uint32_t move, int speed) {
    int best = -1;
    for (unsigned i = 0; i < d.rampTableCount; ++i) {
        const RampTableDef& r = d.rampTables[i];
        if (!rampsFit(move, stepSize(r), r.rampUp.length, r.rampDown.length)) {
            continue;
        }
        if (best < 0 || speedDistance(speed, r.speed) < speedDistance(speed, d.rampTables[best].speed)) {
            best = static_cast<int>(i);
        }
    }
    return best;
}

// A move to a symbol that is too short for the ramps in force gets one more
// turn, once.
inline uint32_t stretchShortMove(uint32_t move, uint32_t turn, unsigned size, unsigned rampUp,
                                 unsigned rampDown) {
    return rampsFit(move, size, rampUp, rampDown) ? move : move + turn;
}

// ------------------------------------------------------------ skill stops

// Lead of a skill stop in half steps: one symbol's share of the steps per
// turn, the ramp-down length and 2.  False for a table without symbols.
inline bool skillStopLead(const SymbolTableDef& t, unsigned char rampDownLength, uint32_t* lead) {
    if (t.symbolsPerTurn == 0) {
        return false;
    }
    *lead = t.stepsPerTurn / t.symbolsPerTurn + rampDownLength + 2u;
    return true;
}

// Where a reel at `position` is predicted to stop: `lead` half steps on in
// the direction of travel, wrapped once through the end of the turn.  A
// 16-bit position, like the one the board reports.
inline uint16_t predictedStop(uint16_t position, uint32_t lead, uint32_t turn, bool forward) {
    uint32_t q;
    if (forward) {
        q = position + lead;
        if (q >= turn) {
            q -= turn;
        }
    } else {
        q = lead <= position ? position - lead : position + turn - lead;
    }
    return static_cast<uint16_t>(q);
}

// The position `distance` half steps on from `from` in the direction of
// travel, wrapped once through the end of the turn.
inline uint32_t positionOn(uint32_t from, uint32_t distance, uint32_t turn, bool forward) {
    if (forward) {
        const uint32_t p = from + distance;
        return p >= turn ? p - turn : p;
    }
    return distance > from ? from - distance + turn : from - distance;
}

}  // namespace yarvo::geometry

#endif
