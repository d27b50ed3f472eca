#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "decode.h"

namespace yarvo::simtool {
namespace {

using session::Event;

constexpr uint32_t kBlockBytes = wire::kBufferSize;

std::string boardName(unsigned instance) { return "Kmora_" + std::to_string(instance); }

std::string requestBytes(const wire::TransferBlock& request) {
    const uint32_t length = std::min<uint32_t>(request.requestLength, kBlockBytes);
    return std::string(reinterpret_cast<const char*>(request.buffer), length);
}

bool sameRequest(const Event& recorded, const wire::TransferBlock& request, const std::string& bytes) {
    return recorded.request == bytes && recorded.word0 == request.word0 && recorded.word1 == request.word1 &&
           recorded.requestLength == request.requestLength && recorded.responseOffered == request.responseLength;
}

// "SPIN reel=0 mode=1 steps=148": a request without its outcome.
std::string requestText(const std::string& bytes) {
    if (bytes.empty()) return "(an empty request)";
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const std::string fields = decode::requestFields(p[0], p + 1, bytes.size() - 1);
    return decode::commandLabel(p[0]) + (fields.empty() ? "" : " " + fields);
}

std::string hexOf(const std::string& bytes) {
    return decode::hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Two requests one above the other, their bytes lined up after the text.
std::string sideBySide(const std::string& recorded, const std::string& recordedBytes, const std::string& actual,
                       const std::string& actualBytes) {
    const size_t width = std::max(recorded.size(), actual.size()) + 3;
    auto row = [width](const char* label, const std::string& text, const std::string& bytes) {
        std::string line = std::string("  ") + label + text;
        if (!bytes.empty()) line += std::string(width - text.size(), ' ') + "[" + bytes + "]";
        return line + "\n";
    };
    return row("recorded:  ", recorded, recordedBytes) + row("requested: ", actual, actualBytes);
}

}  // namespace

Replay::Replay(session::Session session, std::string path, sim::VirtualDriver& driver, Timing timing)
    : session_(std::move(session)), path_(std::move(path)), driver_(driver), timing_(timing) {
    const std::vector<Event>& events = session_.events;
    for (uint32_t i = 0; i < events.size(); ++i) {
        const Event& e = events[i];
        Lane& lane = lanes_[e.instance];
        switch (e.kind) {
        case Event::Attribute:
            lane.attributes[e.product ? 1 : 0].push_back(i);
            break;
        case Event::Open:
            lane.opens.push_back(i);
            break;
        case Event::Transfer:
            if (e.request.empty() || session::changesState(e.requestBytes()[0])) {
                lane.commands.push_back(i);
            } else {
                lane.polls[e.request].push_back(i);
            }
            break;
        case Event::End:
            break;
        }
    }
    wait_ = [this](uint64_t target) {
        // The boards' clock may run faster than the wall clock.
        for (uint64_t now = driver_.clock().now(); now < target; now = driver_.clock().now()) {
            const uint64_t scale = std::max<uint32_t>(driver_.clock().scale(), 1);
            std::this_thread::sleep_for(std::chrono::microseconds((target - now) / scale + 1));
        }
    };
}

std::vector<unsigned> Replay::instances() const {
    std::set<unsigned> all;
    for (const session::Board& b : session_.header.boards) all.insert(b.instance);
    for (const Event& e : session_.events) {
        if (e.kind != Event::End) all.insert(e.instance);
    }
    return std::vector<unsigned>(all.begin(), all.end());
}

void Replay::applyBoardTexts() {
    for (const session::Board& b : session_.header.boards) {
        if (b.hasProduct) driver_.setProduct(b.instance, b.product);
        if (b.hasSpeed) driver_.setSpeed(b.instance, b.speed);
        driver_.setNodeOpens(b.instance, b.nodeError == 0);
    }
}

void Replay::waitFor(uint64_t micros) {
    if (timing_ == Timing::Recorded) wait_(micros);
}

bool Replay::attribute(unsigned instance, bool product, bool found, std::string* text) {
    const Event* e = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Lane& lane = lanes_[instance];
        const std::vector<uint32_t>& reads = lane.attributes[product ? 1 : 0];
        if (reads.empty()) return found;   // never read while recording: the header's text
        size_t& served = lane.attributesServed[product ? 1 : 0];
        e = &session_.events[reads[std::min(served++, reads.size() - 1)]];
    }
    waitFor(e->micros);
    if (e->error != 0) return false;
    *text = e->response;
    return true;
}

int Replay::open(unsigned instance, int error) {
    const Event* e = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Lane& lane = lanes_[instance];
        if (lane.opens.empty()) return error;
        e = &session_.events[lane.opens[std::min(lane.opensServed++, lane.opens.size() - 1)]];
    }
    waitFor(e->micros);
    return e->error;
}

int Replay::transfer(unsigned instance, const wire::TransferBlock& request, wire::TransferBlock* block, int) {
    const uint64_t now = driver_.clock().now();
    const std::string bytes = requestBytes(request);
    const Event* e = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (diverged_.load()) return EIO;
        Lane& lane = lanes_[instance];
        if (bytes.empty() || session::changesState(request.buffer[0])) {
            if (lane.matched == lane.commands.size() ||
                !sameRequest(session_.events[lane.commands[lane.matched]], request, bytes)) {
                diverge(instance, lane, request, "");
                return EIO;
            }
            e = &session_.events[lane.commands[lane.matched++]];
            lane.segmentStart = timing_ == Timing::Recorded ? std::max(now, e->micros) : now;
        } else if ((e = answerPoll(lane, instance, bytes, now)) == nullptr) {
            return EIO;
        }
    }
    waitFor(e->micros);
    mirror(instance, *e);
    return answer(*e, request, block);
}

// The recorded answer for a poll with the request `key` at board time `now`
// (see the top of replay.h), or null after declaring the divergence.
const Event* Replay::answerPoll(Lane& lane, unsigned instance, const std::string& key, uint64_t now) {
    const auto found = lane.polls.find(key);
    if (found == lane.polls.end()) {
        wire::TransferBlock request{};
        request.requestLength = static_cast<uint32_t>(key.size());
        std::memcpy(request.buffer, key.data(), key.size());
        diverge(instance, lane, request,
                "no " + requestText(key) + " anywhere in the recording of " + boardName(instance));
        return nullptr;
    }
    const std::vector<uint32_t>& polls = found->second;
    // The polls of this stretch: after the last matched state-changing
    // request, before the next one.
    const size_t segment = lane.matched;
    const uint32_t from = segment == 0 ? 0 : lane.commands[segment - 1];
    const uint32_t to = segment < lane.commands.size() ? lane.commands[segment] : UINT32_MAX;
    const size_t lo = std::lower_bound(polls.begin(), polls.end(), from) - polls.begin();
    const size_t hi = std::lower_bound(polls.begin(), polls.end(), to) - polls.begin();
    if (lo == hi) {
        // None recorded here: what the recording last answered before.
        return &session_.events[polls[lo > 0 ? lo - 1 : lo]];
    }
    PollCursor& cursor = lane.cursors[key];
    if (cursor.segment != segment) cursor = PollCursor{segment, lo};
    // The latest recorded answer at or before this poll's time since the
    // state-changing request.
    const uint64_t base = segment == 0 ? 0 : session_.events[from].micros;
    const uint64_t due = base + (now - std::min(now, lane.segmentStart));
    const auto& events = session_.events;
    const size_t byTime = std::upper_bound(polls.begin() + lo, polls.begin() + hi, due,
                                           [&events](uint64_t t, uint32_t i) { return t < events[i].micros; }) -
                          polls.begin();
    size_t pick = std::max(cursor.next, byTime > lo ? byTime - 1 : lo);
    pick = std::min(pick, hi - 1);
    cursor.next = pick + 1;
    return &events[polls[pick]];
}

void Replay::diverge(unsigned instance, const Lane& lane, const wire::TransferBlock& request,
                     const std::string& why) {
    diverged_.store(true);
    const std::string actual = requestBytes(request);
    std::string place, recorded, recordedBytes;
    if (!why.empty()) {
        place = path_ + " (" + boardName(instance) + ": a poll the recording never answered)";
        recorded = why;
    } else if (lane.matched < lane.commands.size()) {
        const Event& expected = session_.events[lane.commands[lane.matched]];
        place = path_ + ":" + std::to_string(expected.line) + " (" + boardName(instance) + ", state-changing request " +
                std::to_string(lane.matched + 1) + " of " + std::to_string(lane.commands.size()) + ")";
        recorded = decode::describe(session::exchangeOf(expected));
        recordedBytes = hexOf(expected.request);
    } else {
        place = path_ + ":" + std::to_string(session_.lines) + " (" + boardName(instance) + ", state-changing request " +
                std::to_string(lane.matched + 1) + ": the recording holds " + std::to_string(lane.commands.size()) + ")";
        recorded = "nothing more: " + endOfRecording();
    }
    report_ = "yarvo-sim: replay: the program left the recording at " + place + "\n" +
              sideBySide(recorded, recordedBytes, requestText(actual), hexOf(actual)) +
              "yarvo-sim: replay: that request and every later one failed (EIO)\n";
    if (announce_) {
        std::fputs(report_.c_str(), stderr);
        std::fflush(stderr);
    }
}

std::string Replay::endOfRecording() const {
    const std::string line = std::to_string(session_.lines);
    if (session_.ended) return "the program ended there (line " + line + ")";
    if (session_.cut) return "the recording is cut short after line " + line;
    return "the recording ends at line " + line;
}

int Replay::answer(const Event& e, const wire::TransferBlock& request, wire::TransferBlock* block) {
    if (e.result != 0) return e.error;
    // The response over the request, as a driver leaves the buffer.
    *block = request;
    block->responseLength = e.responseLength;
    std::memcpy(block->buffer, e.response.data(), e.response.size());
    return 0;
}

void Replay::mirror(unsigned instance, const Event& e) {
    if (e.result != 0 || e.response.size() < 2 || e.request.empty() || e.responseBytes()[0] != e.requestBytes()[0] ||
        e.responseBytes()[1] != 0 || e.responseLength != e.response.size()) {
        return;
    }
    const uint8_t* p = e.responseBytes() + 2;
    const size_t n = e.response.size() - 2;
    driver_.withBoard(instance, [&](sim::Firmware& fw) {
        switch (e.requestBytes()[0]) {
        case wire::kCmdInputReport:
            if (n >= 3) fw.setInputs(p[0] | p[1] << 8 | static_cast<uint32_t>(p[2]) << 16);
            break;
        case wire::kCmdPowerStatus:
            if (n >= 1) fw.setPowerStatus(p[0]);
            break;
        case wire::kCmdFirmwareVersion:
            fw.setFirmwareVersion(std::string(reinterpret_cast<const char*>(p), n));
            break;
        default:
            break;
        }
    });
}

std::string Replay::report() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return report_;
}

std::string Replay::summary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t total = 0, matched = 0;
    std::string stopped;
    for (unsigned i = 0; i < 16; ++i) {
        const Lane& lane = lanes_[i];
        total += lane.commands.size();
        matched += lane.matched;
        if (lane.matched < lane.commands.size() && stopped.empty()) {
            stopped = "; " + boardName(i) + "'s next one is at " + path_ + ":" +
                      std::to_string(session_.events[lane.commands[lane.matched]].line);
        }
    }
    if (matched == total) return "all " + std::to_string(total) + " recorded state-changing requests replayed";
    return "the program made " + std::to_string(matched) + " of the " + std::to_string(total) +
           " recorded state-changing requests" + stopped;
}

// ------------------------------------------------------------ the subcommand

std::vector<std::string> replayAsRun(int argc, char** argv) {
    if (argc < 3 || std::strcmp(argv[1], "replay") != 0 || argv[2][0] == '-') return {};
    std::vector<std::string> args = {argv[0], "run", "--replay"};
    args.insert(args.end(), argv + 2, argv + argc);
    return args;
}

bool prepareReplay(const std::string& path, const std::string& timing, bool cabinetGiven, bool preload, bool record,
                   std::shared_ptr<Replay>* replay, std::vector<std::string>* boards, std::string* error) {
    if (preload) {
        *error = "replay: --preload has no daemon to answer from the recording; replay runs on the kernel path only";
        return false;
    }
    if (cabinetGiven) {
        *error = "replay: the boards are the recording's: --board and --product do not apply";
        return false;
    }
    if (record) {
        *error = "replay: --record does not apply to a replay";
        return false;
    }
    session::Session session;
    if (!session::loadSession(path, &session, error)) {
        *error = "replay: " + *error;
        return false;
    }
    *replay = std::make_shared<Replay>(std::move(session), path, sim::driver(),
                                       timing == "recorded" ? Replay::Timing::Recorded : Replay::Timing::Fast);
    for (const unsigned instance : (*replay)->instances()) boards->push_back(std::to_string(instance));
    return true;
}

int finishReplay(Replay& replay, bool reportShown, bool verbose, int divergenceStatus, int programStatus) {
    if (replay.diverged()) {
        if (!reportShown) std::fputs(replay.report().c_str(), stderr);
        std::fprintf(stderr, "yarvo-sim: replay: exit status %d (the program's own was %d)\n", divergenceStatus,
                     programStatus);
        return divergenceStatus;
    }
    const std::string summary = replay.summary();
    if (verbose || summary.compare(0, 4, "all ") != 0) std::fprintf(stderr, "yarvo-sim: replay: %s\n", summary.c_str());
    return programStatus;
}

}  // namespace yarvo::simtool
