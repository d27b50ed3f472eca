// record -o SESSION -- PROGRAM [ARGS...]: runs PROGRAM with the tracer
// writing its session with the boards (tools/common/session.h) and returns
// PROGRAM's exit status.  trace --from SESSION prints a session with the
// live trace's decoder.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common.h"
#include "output_file.h"
#include "session.h"
#include "trace.h"
#include "trace_filter.h"

namespace yarvoctl {
namespace {

namespace session = yarvo::session;

struct RecordArgs {
    std::string output;
    std::vector<std::string> command;
};

// An attribute's whole text (up to a page); false when it cannot be opened.
bool readText(const std::string& path, std::string* text) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    char buffer[session::kMaxTextBytes];
    text->assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
    std::fclose(file);
    return true;
}

// The boards as they are before the program starts: each instance whose
// attributes or node exist, with its texts and what opening the node gives.
session::Header probeBoards() {
    session::Header header;
    header.project = session::projectVersion();
    Yarvo yarvo;
    unsigned char library[8] = {};
    yarvo.GetDllVersion(library);
    header.library = reinterpret_cast<const char*>(library);
    header.recorder = "yarvoctl record";
    header.started = session::startedNow();
    for (unsigned instance = 0; instance < 16; ++instance) {
        session::Board board;
        board.instance = instance;
        const std::string base = "/sys/class/Kmora/Kmora_" + std::to_string(instance) + "/device/";
        board.hasProduct = readText(base + "product", &board.product);
        board.hasSpeed = readText(base + "speed", &board.speed);
        const int fd = ::open(("/dev/Kmora_" + std::to_string(instance)).c_str(), O_RDWR | O_CLOEXEC);
        board.nodeError = fd >= 0 ? 0 : errno;
        if (fd >= 0) ::close(fd);
        if (board.hasProduct || board.hasSpeed || board.nodeError != ENOENT) header.boards.push_back(board);
    }
    return header;
}

void writeLine(int fd, const std::string& line, const std::string& path) {
    if (!session::appendLine(fd, line)) throw Failure("record", "cannot write " + path + ": " + std::strerror(errno));
}

int runRecord(const RecordArgs& a) {
    std::string error;
    yarvo::tools::OutputFileOptions options;
    options.truncate = true;
    const int fd = yarvo::tools::openOutputFile(a.output, options, &error);
    if (fd < 0) throw Failure("record", error);
    std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* p) {
        ::close(*p);
        delete p;
    });
    char* real = ::realpath(a.output.c_str(), nullptr);
    const std::string path = real != nullptr ? real : a.output;
    std::free(real);

    const long long epoch = monotonicNanos();
    writeLine(fd, session::headerLine(probeBoards()), a.output);
    const int status = runUnderTracer(a.command, epoch, [&path] {
        ::setenv("YARVO_TRACE_SESSION", path.c_str(), 1);
        ::unsetenv("YARVO_TRACE_OUTPUT");
        ::unsetenv("YARVO_TRACE_RAW");
    });
    writeLine(fd, session::endLine(static_cast<uint64_t>(monotonicNanos() - epoch) / 1000, status), a.output);
    return status;
}

std::string boardLabel(unsigned instance) { return "Kmora_" + std::to_string(instance); }

std::string failure(int err) {
    return "failed: " + yarvo::decode::errnoName(err) + " (" + std::strerror(err) + ")";
}

// One event as the live trace prints it, for the events the trace knows;
// attribute reads and node openings in the same form.  `notes` learns from
// firmware versions how to name status fields, as the live trace does.
std::string eventLines(const session::Event& e, bool raw, yarvo::decode::FirmwareNotes& notes) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "[%12.6f] ", static_cast<double>(e.micros) / 1e6);
    switch (e.kind) {
    case session::Event::Attribute:
        return stamp + boardLabel(e.instance) + " ATTRIBUTE " + (e.product ? "product" : "speed") + " -> " +
               (e.error != 0 ? failure(e.error) : session::quotedText(e.response)) + "\n";
    case session::Event::Open:
        return stamp + boardLabel(e.instance) + " OPEN -> " + (e.error != 0 ? failure(e.error) : "ok") + "\n";
    case session::Event::End: {
        char text[80];
        std::snprintf(text, sizeof text, "# the program ended with status %d after %.6f s\n", e.result,
                      static_cast<double>(e.micros) / 1e6);
        return text;
    }
    case session::Event::Transfer:
        break;
    }
    std::string text = stamp + boardLabel(e.instance) + " " +
                       notes.describe(static_cast<int>(e.instance), session::exchangeOf(e)) + "\n";
    if (raw) {
        text += "    request:  " + yarvo::decode::hex(e.requestBytes(), e.request.size()) + "\n";
        if (e.result == 0) text += "    response: " + yarvo::decode::hex(e.responseBytes(), e.response.size()) + "\n";
    }
    return text;
}

std::string headerLines(const session::Header& h) {
    std::string text = "# session recorded by " + h.recorder + ", started " + h.started + " (yarvo " + h.project +
                       ", library " + h.library + ")\n";
    for (const session::Board& b : h.boards) {
        text += "# " + boardLabel(b.instance) + ": product " + (b.hasProduct ? session::quotedText(b.product) : "none") +
                ", speed " + (b.hasSpeed ? session::quotedText(b.speed) : "none") + ", node " +
                (b.nodeError == 0 ? "opens" : failure(b.nodeError)) + "\n";
    }
    return text;
}

}  // namespace

int printSession(const std::string& path, bool raw, const std::string& output, const std::string& filter) {
    session::Session s;
    std::string error;
    yarvo::decode::TransferFilter shown;
    if (!filter.empty() && !shown.parse(filter, &error)) throw Failure("trace", error);
    if (!session::loadSession(path, &s, &error)) throw Failure("trace", error);
    int fd = STDOUT_FILENO;
    if (!output.empty()) {
        yarvo::tools::OutputFileOptions options;
        options.truncate = true;
        if ((fd = yarvo::tools::openOutputFile(output, options, &error)) < 0) throw Failure("trace", error);
    }
    // Written in pieces of about 64 KiB: a long session's trace is never
    // held whole.
    std::string text = headerLines(s.header);
    bool written = true;
    yarvo::decode::FirmwareNotes notes;
    for (const session::Event& e : s.events) {
        // A filter picks transfers, as in the live trace: attribute reads and
        // node openings are left out with it; the program's end stays.
        if (!filter.empty() && e.kind != session::Event::End) {
            if (e.kind != session::Event::Transfer) continue;
            const yarvo::decode::Exchange exchange = session::exchangeOf(e);
            notes.note(static_cast<int>(e.instance), exchange);
            if (!shown.shows(static_cast<int>(e.instance), exchange)) continue;
        }
        text += eventLines(e, raw, notes);
        if (text.size() >= 65536) {
            written = written && session::appendLine(fd, text);
            text.clear();
        }
    }
    if (s.cut) {
        text += "# the session is cut short after line " + std::to_string(s.lines) + " (its last line is incomplete)\n";
    } else if (!s.ended) {
        text += "# the session ends at line " + std::to_string(s.lines) + " before the program's end\n";
    }
    written = written && session::appendLine(fd, text);
    const int err = errno;
    if (fd != STDOUT_FILENO) ::close(fd);
    if (!written) throw Failure("trace", "cannot write the trace: " + std::string(std::strerror(err)));
    return kExitOk;
}

void addRecordCommand(CLI::App& app) {
    Context& ctx = context();
    auto args = std::make_shared<RecordArgs>();
    CLI::App* sub = app.add_subcommand(
        "record",
        "run PROGRAM and write its session with the boards to SESSION: every sysfs read, node opening and "
        "transfer with its answer (yarvo-sim replay replays it; exit status is PROGRAM's)");
    sub->add_option("-o,--output", args->output, "the session file to write (emptied first)")->required();
    sub->add_option("program", args->command, "PROGRAM [ARGS...], after --")->required();
    sub->positionals_at_end();
    sub->callback([&ctx, args] { ctx.action = [args] { return runRecord(*args); }; });
}

}  // namespace yarvoctl
