// The virtual board's transfer log: every transfer reaches the observer with
// its bytes even while the driver keeps no log, each record decodes exactly
// as the tracer decodes the same transfer from the block before and after
// the request, and the streamed file carries time-stamped lines.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet.h"
#include "transfer_log.h"
#include "wire.h"

namespace {

using namespace yarvo::sim;
using yarvo::wire::TransferBlock;
using Bytes = std::vector<uint8_t>;

TransferBlock makeBlock(uint8_t command, const Bytes& payload) {
    TransferBlock block{};
    block.word0 = yarvo::wire::kBlockWord0;
    block.word1 = yarvo::wire::kBlockWord1;
    block.requestLength = static_cast<uint32_t>(payload.size() + 1);
    block.responseLength = yarvo::wire::kResponseOffered;
    block.buffer[0] = command;
    for (size_t i = 0; i < payload.size(); ++i) {
        block.buffer[1 + i] = payload[i];
    }
    return block;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Each case is one transfer, prepared by `setUp` on board 0 (or sent to an
// absent instance); the record the observer gets must read as the tracer
// reads that transfer, and must say what is expected.
TEST(TransferLog, RecordsDecodeAsTheTracerDecodesTheBlocks) {
    struct Case {
        const char* what;
        unsigned instance;
        uint8_t command;
        Bytes payload;
        void (*setUp)(VirtualDriver&);
        const char* expected;
    } cases[] = {
        {"inputs with the address bits", 0, yarvo::wire::kCmdInputReport, {},
         [](VirtualDriver& d) { d.withBoard(0, [](Firmware& f) { f.setAddress(5); }); },
         "Kmora_0 INPUTS -> inputs=0x050000 address=5"},
        {"spin refused by the board", 0, yarvo::wire::kCmdSpinReel, {9, 0xFE, 0, 118}, nullptr,
         "Kmora_0 SPIN reel=9 mode=-2 steps=118 -> board status 1"},
        {"request that fails", 0, yarvo::wire::kCmdPowerStatus, {},
         [](VirtualDriver& d) { d.failNext(0, ETIMEDOUT); },
         "Kmora_0 POWER-STATUS -> failed: ETIMEDOUT (Connection timed out)"},
        {"absent board", 3, yarvo::wire::kCmdInputReport, {}, nullptr,
         "Kmora_3 INPUTS -> failed: ENODEV (No such device)"},
        {"wrong echo", 0, yarvo::wire::kCmdChangedInputs, {},
         [](VirtualDriver& d) {
             Fault f;
             f.kind = Fault::Echo;
             f.value = 20;
             d.injectFault(0, f);
         },
         "Kmora_0 CHANGED-INPUTS -> bad echo 20 (expected 21)"},
        {"response too long", 0, yarvo::wire::kCmdFirmwareVersion, {},
         [](VirtualDriver& d) {
             Fault f;
             f.kind = Fault::ResponseLength;
             f.value = 300;
             d.injectFault(0, f);
         },
         "Kmora_0 FIRMWARE-VERSION -> bad response length 300"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualCabinet cab;
        cab.board(0);
        VirtualDriver& d = cab.driver();
        d.setLogging(false);
        std::vector<TransferRecord> seen;
        d.setTransferObserver([&seen](const TransferRecord& r) { seen.push_back(r); });
        if (c.setUp != nullptr) {
            c.setUp(d);
        }
        const TransferBlock before = makeBlock(c.command, c.payload);
        TransferBlock after = before;
        const int err = d.transfer(c.instance, &after);

        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(d.transferCount(), 0u);   // the log itself stayed off
        const std::string traced = "Kmora_" + std::to_string(c.instance) + " " +
                                   yarvo::decode::describe(yarvo::decode::fromBlocks(
                                       before, after, err == 0 ? 0 : -1, err));
        EXPECT_EQ(yarvo::decode::describeRecord(seen[0]), traced);
        EXPECT_EQ(yarvo::decode::describeRecord(seen[0]), c.expected);
    }
}

TEST(TransferLog, ObserverEndsWithReset) {
    VirtualCabinet cab;
    cab.board(0);
    int calls = 0;
    cab.driver().setTransferObserver([&calls](const TransferRecord&) { ++calls; });
    TransferBlock block = makeBlock(yarvo::wire::kCmdInputReport, {});
    cab.driver().transfer(0, &block);
    cab.driver().reset();
    cab.board(0);
    block = makeBlock(yarvo::wire::kCmdInputReport, {});
    cab.driver().transfer(0, &block);
    EXPECT_EQ(calls, 1);
}

// Observers added beside the first (the browser view's list, a recorder)
// see every transfer too, until removed or reset.
TEST(TransferLog, MoreObserversBesideTheFirst) {
    VirtualCabinet cab;
    cab.board(0);
    int first = 0, second = 0, third = 0;
    VirtualDriver& d = cab.driver();
    d.setTransferObserver([&first](const TransferRecord&) { ++first; });
    const unsigned a = d.addTransferObserver([&second](const TransferRecord&) { ++second; });
    d.addTransferObserver([&third](const TransferRecord&) { ++third; });
    auto transfer = [&d] {
        TransferBlock block = makeBlock(yarvo::wire::kCmdInputReport, {});
        d.transfer(0, &block);
    };
    transfer();
    d.removeTransferObserver(a);
    d.setTransferObserver(nullptr);
    transfer();
    d.reset();
    cab.board(0);
    transfer();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(third, 2);
}

// The file gets one line per transfer stamped with the board clock: the
// daemon's writer empties it first, the preload's appends to what is there.
TEST(TransferLog, StreamsTimeStampedLinesToAFile) {
    char path[] = "/tmp/yarvo-transfer-log.XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "old\n", 4), 4);
    ::close(fd);

    {
        VirtualCabinet cab;
        cab.board(1).address(2);
        std::string error;
        yarvo::decode::TransferLogWriter writer;
        ASSERT_TRUE(writer.start(cab.driver(), path, &error)) << error;
        cab.advance(std::chrono::microseconds(1500042));
        TransferBlock block = makeBlock(yarvo::wire::kCmdInputReport, {});
        EXPECT_EQ(cab.driver().transfer(1, &block), 0);
        cab.advance(std::chrono::seconds(100000));
        block = makeBlock(yarvo::wire::kCmdReelStatus, {2});
        cab.driver().transfer(1, &block);
        writer.stop(std::chrono::seconds(5));
        EXPECT_EQ(writer.written(), 2u);
        EXPECT_EQ(writer.lost(), 0u);
        EXPECT_EQ(readFile(path),
                  "[    1.500042] Kmora_1 INPUTS -> inputs=0x020000 address=2\n"
                  "[100001.500042] Kmora_1 STATUS reel=2 -> pos=0 word1=0 byte1=0 byte2=0 byte3=0 word2=96\n");
    }
    {
        VirtualCabinet cab;
        cab.board(0);
        std::string error;
        static yarvo::decode::DirectTransferLog direct;   // observes until the cabinet's reset
        ASSERT_TRUE(direct.start(cab.driver(), path, &error)) << error;
        TransferBlock block = makeBlock(yarvo::wire::kCmdPowerStatus, {});
        cab.driver().transfer(0, &block);
        const std::string text = readFile(path);
        EXPECT_EQ(text.substr(text.find("[    0.000000]")), "[    0.000000] Kmora_0 POWER-STATUS -> power=1\n");
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    }
    std::remove(path);

    VirtualCabinet cab;
    std::string error;
    yarvo::decode::TransferLogWriter writer;
    EXPECT_FALSE(writer.start(cab.driver(), "/nonexistent/dir/log", &error));
    EXPECT_NE(error.find("/nonexistent/dir/log"), std::string::npos) << error;
}


// A reader that stops reading costs log lines, never a transfer: the lines
// that found no room are counted, and when the reader catches up the log
// says where they went missing.  Both writers: the daemon's thread and the
// preload's direct one.
TEST(TransferLog, AStalledReaderLosesLinesNotTransfers) {
    for (bool threaded : {true, false}) {
        SCOPED_TRACE(threaded ? "writer thread" : "direct");
        char dir[] = "/tmp/yarvo-fifo.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        const std::string fifo = std::string(dir) + "/log";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);   // open, and not read for now
        ASSERT_GE(reader, 0);
        VirtualCabinet cab;
        cab.board(0);
        std::string error;
        yarvo::decode::TransferLogWriter writer;
        static yarvo::decode::DirectTransferLog* direct = nullptr;
        if (threaded) {
            ASSERT_TRUE(writer.start(cab.driver(), fifo, &error)) << error;
        } else {
            direct = new yarvo::decode::DirectTransferLog();   // observes until the cabinet's reset
            ASSERT_TRUE(direct->start(cab.driver(), fifo, &error)) << error;
        }
        constexpr int kTransfers = 20000;   // more lines than the queue and a pipe hold together
        for (int i = 0; i < kTransfers; ++i) {
            TransferBlock block = makeBlock(yarvo::wire::kCmdInputReport, {});
            ASSERT_EQ(cab.driver().transfer(0, &block), 0);
        }
        // The reader catches up (until every record is written or lost);
        // the next line comes with the mark of the gap.
        std::string text;
        char buffer[65536];
        auto drainUntil = [&](uint64_t handled) {
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            for (;;) {
                ssize_t n;
                while ((n = ::read(reader, buffer, sizeof buffer)) > 0) {
                    text.append(buffer, static_cast<size_t>(n));
                }
                if (!threaded || writer.written() + writer.lost() >= handled ||
                    std::chrono::steady_clock::now() > limit) {
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        };
        drainUntil(kTransfers);
        TransferBlock last = makeBlock(yarvo::wire::kCmdPowerStatus, {});
        cab.driver().transfer(0, &last);
        drainUntil(kTransfers + 1);
        if (threaded) {
            writer.stop(std::chrono::seconds(5));
        }
        drainUntil(0);
        const uint64_t lost = threaded ? writer.lost() : direct->lost();
        EXPECT_GT(lost, 0u);
        if (threaded) {
            EXPECT_EQ(writer.written() + writer.lost(), uint64_t(kTransfers + 1));
        }
        // Each gap is marked where it happened (there may be several when
        // the writer got ahead for a while): the marks add up to the loss,
        // and the last transfer still reaches the log.
        uint64_t marked = 0;
        uint64_t logged = 0;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            const size_t mark = line.find("] -- ");
            if (mark != std::string::npos) {
                EXPECT_NE(line.find(" not logged: the log's reader fell behind --"), std::string::npos) << line;
                marked += std::stoull(line.substr(mark + 5));
            } else if (line.find("] Kmora_0 ") != std::string::npos) {
                ++logged;
            }
        }
        EXPECT_EQ(marked, lost);
        if (threaded) {
            EXPECT_EQ(logged, writer.written());
        }
        const std::string tail = "] Kmora_0 POWER-STATUS -> power=1\n";
        EXPECT_TRUE(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
            << text.substr(text.size() > 300 ? text.size() - 300 : 0);
        ::close(reader);
        ::unlink(fifo.c_str());
        ::rmdir(dir);
    }
}

}  // namespace
