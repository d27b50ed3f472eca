// Which transfers a trace prints (yarvoctl trace --filter).  A filter is a
// list of terms separated by commas:
//
//   COMMAND    a command by the name the trace prints (STATUS, SPIN,
//              RAMP-UP, ...; any letter case)
//   reel=N     transfers to reel N (the commands that name a reel)
//   board=N    transfers to board instance N (Kmora_N)
//   failed     transfers that failed or whose reply the host refuses
//
// A term with a leading '-' leaves out what it matches.  A transfer is
// printed when no such term matches it and, for each kind of term given
// without '-', at least one term of that kind matches:
//
//   -STATUS              everything but the status polls
//   reel=2               only what concerns reel 2
//   SPIN,STOP-AT,reel=2  the spins and stops of reel 2
//   -STATUS,failed       the failures, but not of status polls
#ifndef YARVO_TOOLS_TRACE_FILTER_H
#define YARVO_TOOLS_TRACE_FILTER_H

#include <bitset>
#include <string>

#include "decode.h"

namespace yarvo::decode {

class TransferFilter {
public:
    // False with a message naming the term that is not understood.
    bool parse(const std::string& text, std::string* error);
    // Whether the transfer `exchange` to board instance `board` (-1 for a
    // descriptor that is no board node) is printed.
    bool shows(int board, const Exchange& exchange) const;

private:
    // The terms of one sign: what they name, by kind.
    struct Terms {
        std::bitset<256> commands, reels;
        std::bitset<16> boards;
        bool failed = false;
    };
    Terms only_, without_;
    static bool matchesAny(const Terms& terms, int board, const Exchange& exchange);
};

}  // namespace yarvo::decode

#endif
