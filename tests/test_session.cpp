// The session file (tools/common/session.h): what is written reads back
// the same, a file cut in the middle of its last line reads up to there,
// and hostile files are refused with the line that is wrong.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "session.h"
#include "wire.h"

namespace {

using namespace yarvo::session;
using yarvo::wire::TransferBlock;

const std::string kHeader =
    R"({"format":"yarvo-session","version":1,"project":"1","library":"14","recorder":"test","started":"now",)"
    R"("boards":[{"board":0,"product":"K-Mora Yarvo Board\n","speed":"12\n","node":0}]})"
    "\n";

TransferBlock block(std::initializer_list<uint8_t> request) {
    TransferBlock b{};
    b.word0 = yarvo::wire::kBlockWord0;
    b.word1 = yarvo::wire::kBlockWord1;
    b.requestLength = static_cast<uint32_t>(request.size());
    b.responseLength = yarvo::wire::kResponseOffered;
    size_t i = 0;
    for (uint8_t byte : request) b.buffer[i++] = byte;
    return b;
}

bool read(const std::string& text, Session* session, std::string* error) {
    std::istringstream in(text);
    return readSession(in, session, error);
}

TEST(SessionFile, EveryEventReadsBackAsWritten) {
    TransferBlock status = block({47, 2});
    TransferBlock answered = status;
    answered.responseLength = 11;
    const uint8_t reply[] = {47, 0, 0, 96, 0, 0, 4, 46, 0, 0, 192};
    std::memcpy(answered.buffer, reply, sizeof reply);
    TransferBlock odd = block({20});
    odd.word0 = 3;
    odd.requestLength = 600;            // claims more than the buffer holds
    TransferBlock tooLong = answered;
    tooLong.responseLength = 300;       // a length the host refuses, bytes kept

    Header header;
    header.project = "1.2.0";
    header.library = "14";
    header.recorder = "test";
    header.started = startedNow();
    Board board;
    board.instance = 3;
    board.hasProduct = true;
    board.product = "K-Mora\xff Board";  // not UTF-8
    board.nodeError = EACCES;
    header.boards.push_back(board);

    const std::string text = headerLine(header) + attributeLine(10, 3, true, 0, "K-Mora Yarvo Board\n") +
                             attributeLine(11, 3, false, ENOENT, "") + attributeLine(12, 3, false, 0, "\x80" "12") +
                             openLine(13, 3, 0) + openLine(14, 4, EACCES) +
                             transferLine(15, 3, status, answered, 0, 0) + transferLine(16, 3, status, status, -1, ETIMEDOUT) +
                             transferLine(17, 3, odd, odd, -1, EINVAL) + transferLine(18, 3, status, tooLong, 0, 0) +
                             endLine(19, 3);
    Session s;
    std::string error;
    ASSERT_TRUE(read(text, &s, &error)) << error;
    EXPECT_EQ(s.lines, 11u);
    EXPECT_TRUE(s.ended);
    EXPECT_FALSE(s.cut);
    ASSERT_EQ(s.header.boards.size(), 1u);
    EXPECT_EQ(s.header.boards[0].product, board.product);
    EXPECT_FALSE(s.header.boards[0].hasSpeed);
    EXPECT_EQ(s.header.boards[0].nodeError, EACCES);
    ASSERT_EQ(s.events.size(), 10u);

    const auto& e = s.events;
    EXPECT_TRUE(e[0].kind == Event::Attribute && e[0].product && e[0].response == "K-Mora Yarvo Board\n");
    EXPECT_TRUE(e[1].kind == Event::Attribute && !e[1].product && e[1].error == ENOENT);
    EXPECT_EQ(e[2].response, "\x80" "12");
    EXPECT_TRUE(e[3].kind == Event::Open && e[3].error == 0 && e[4].error == EACCES && e[4].instance == 4);
    EXPECT_EQ(yarvo::decode::describe(exchangeOf(e[5])),
              "STATUS reel=2 -> pos=96 word1=0 byte1=4 byte2=46 byte3=0 word2=192");
    EXPECT_EQ(e[5].line, 7u);
    EXPECT_EQ(e[5].micros, 15u);
    EXPECT_EQ(yarvo::decode::describe(exchangeOf(e[6])), "STATUS reel=2 -> failed: ETIMEDOUT (Connection timed out)");
    EXPECT_EQ(e[7].word0, 3u);
    EXPECT_EQ(e[7].requestLength, 600u);
    EXPECT_EQ(e[7].request.size(), 512u);
    EXPECT_EQ(e[8].responseLength, 300u);
    EXPECT_EQ(e[8].response.size(), 300u);
    EXPECT_EQ(yarvo::decode::outcome(exchangeOf(e[8])), "bad response length 300");
    EXPECT_TRUE(e[9].kind == Event::End && e[9].result == 3);
}

TEST(SessionFile, ALastLineCutShortReadsUpToIt) {
    const std::string line = transferLine(5, 0, block({20}), block({20, 0, 0, 0, 0}), 0, 0);
    Session s;
    std::string error;
    ASSERT_TRUE(read(kHeader + line + line.substr(0, line.size() / 2), &s, &error)) << error;
    EXPECT_TRUE(s.cut);
    EXPECT_EQ(s.lines, 2u);
    EXPECT_EQ(s.events.size(), 1u);
    // Only the last line may be cut; the same bytes before a line end are bad.
    EXPECT_FALSE(read(kHeader + line.substr(0, line.size() / 2) + "\n" + line, &s, &error));
    EXPECT_EQ(error, "2: not a JSON object (bad JSON)");
    EXPECT_FALSE(read(kHeader.substr(0, 40), &s, &error));
    EXPECT_EQ(error, "1: the header is cut short");
}

TEST(SessionFile, HostileFilesAreRefusedWithTheirLine) {
    const std::string ok = R"({"event":"transfer","t":1,"board":0,"request":"14","result":0,"response_length":2,"response":"1400"})";
    const struct {
        std::string text;
        const char* error;
    } cases[] = {
        {"", "1: the file is empty"},
        {"garbage\n", "1: not a JSON object (bad JSON)"},
        {"{\"format\":\"other\"}\n", "1: not a session file: the first line is no \"yarvo-session\" header"},
        {std::string(kHeader).replace(kHeader.find("\"version\":1"), 11, "\"version\":2"),
         "1: format version 2 is not one this program reads (1 to 1)"},
        {std::string(kHeader).replace(kHeader.find("\"board\":0"), 9, "\"board\":16"),
         "1: \"board\" is not a whole number from 0 to 15"},
        {kHeader + ok + "\n{\"event\":\n" + ok + "\n", "3: not a JSON object (bad JSON)"},
        {kHeader + std::string(40000, ' ') + "\n", "2: the line is longer than 32768 bytes"},
        {kHeader + "[" + std::string(10000, '[') + std::string(10001, ']') + "\n", "2: not a JSON object"},
        {kHeader + R"({"event":"transfer","t":1,"board":0,"request":")" + std::string(1026, '0') + "\"}\n",
         "2: \"request\" holds more than the block's 512 bytes"},
        {kHeader + R"({"event":"transfer","t":1,"board":0,"request":"14","result":0,"response_length":700,"response":")" +
             std::string(1400, '0') + "\"}\n",
         "2: \"response\" holds more than the block's 512 bytes"},
        {kHeader + R"({"event":"transfer","t":1,"board":0,"request":"14","result":0,"response_length":9,"response":"1400"})" "\n",
         "2: \"response\" holds 2 bytes, 9 expected"},
        {kHeader + R"({"event":"transfer","t":1,"board":0,"request":"1x","result":0})" "\n", "2: \"request\" is not hex bytes"},
        {kHeader + R"({"event":"transfer","t":1,"board":0,"request":"14","result":-1,"errno":0})" "\n",
         "2: a failed transfer with errno 0"},
        {kHeader + R"({"event":"open","t":-5,"board":0,"errno":0})" "\n", "2: \"t\" is not a whole number"},
        {kHeader + R"({"event":"open","t":5,"board":0})" "\n", "2: \"errno\" is missing"},
        {kHeader + R"({"event":"attribute","t":5,"board":0,"name":"vendor","text":""})" "\n",
         "2: \"name\" is neither product nor speed"},
        {kHeader + R"({"event":"reboot","t":5,"board":0})" "\n", "2: unknown event \"reboot\""},
        {kHeader + R"({"event":"end","t":5,"status":0})" "\n" + ok + "\n", "3: an event after the end"},
    };
    for (const auto& c : cases) {
        Session s;
        std::string error;
        EXPECT_FALSE(read(c.text, &s, &error)) << c.error;
        EXPECT_EQ(error.compare(0, std::strlen(c.error), c.error), 0) << "expected " << c.error << "\ngot " << error;
    }
}

}  // namespace
