// The trace's filter: terms of one kind are alternatives, kinds must all
// match, a '-' term leaves out; what it does not understand is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace_filter.h"

namespace {

using yarvo::decode::Exchange;
using yarvo::decode::TransferFilter;

TEST(TraceFilter, ChoosesTransfersByCommandReelBoardAndOutcome) {
    const uint8_t reel2[] = {2}, reel5[] = {5};
    const uint8_t ok[] = {47, 0}, refused[] = {41, 2};
    auto transfer = [](uint8_t command, const uint8_t* request, const uint8_t* response, int error = 0) {
        Exchange e;
        e.command = command;
        e.request = request;
        e.requestLength = request != nullptr ? 1 : 0;
        e.error = error;
        e.responseLength = 2;
        e.response = response;
        return e;
    };
    const uint8_t inputsOk[] = {20, 0};
    const uint8_t spinOk[] = {41, 0};
    // Each transfer: board, exchange.
    const std::vector<std::pair<int, Exchange>> all = {
        {0, transfer(47, reel2, ok)},            // 0: STATUS of reel 2
        {0, transfer(47, reel5, ok)},            // 1: STATUS of reel 5
        {0, transfer(41, reel2, spinOk)},        // 2: SPIN of reel 2
        {1, transfer(41, reel2, refused)},       // 3: SPIN of reel 2 on board 1, board status 2
        {0, transfer(20, nullptr, inputsOk)},    // 4: INPUTS
        {1, transfer(20, nullptr, nullptr, 5)},  // 5: INPUTS on board 1, failed with EIO
    };
    const struct {
        const char* filter;
        const char* shown;   // the transfers printed, by index
    } cases[] = {
        {"", "012345"},
        {"-STATUS", "2345"},
        {"status", "01"},
        {"reel=2", "023"},
        {"SPIN,STATUS,reel=2", "023"},
        {"SPIN,board=1", "3"},
        {"failed", "35"},
        {"-STATUS,-failed", "24"},
        {"board=1,-INPUTS", "3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filter);
        TransferFilter filter;
        std::string error;
        if (*c.filter != '\0') {
            ASSERT_TRUE(filter.parse(c.filter, &error)) << error;
        }
        std::string shown;
        for (size_t i = 0; i < all.size(); ++i) {
            if (filter.shows(all[i].first, all[i].second)) shown += static_cast<char>('0' + i);
        }
        EXPECT_EQ(shown, c.shown);
    }
    for (const char* bad : {"STATS", "reel=8x", "board=16", "SPIN,,reel=1", "-", "port=1"}) {
        TransferFilter filter;
        std::string error;
        EXPECT_FALSE(filter.parse(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
