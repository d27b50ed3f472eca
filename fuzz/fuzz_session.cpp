// Fuzz target: arbitrary bytes as a session file (tools/common/session.h).
//
// The reader must refuse what it refuses with a line number, never crash
// or hang, and keep what it accepts within the block: no transfer holds
// more than the buffer's 512 bytes, no attribute text more than a page.
// Every accepted event decodes as the trace shows it, and written again
// (the writer's own lines) reads back the same.
//
//   build:  cmake --preset fuzz && cmake --build build/fuzz
//   run:    make fuzz FUZZ_TARGETS=session  (seeds in fuzz/corpus/session)
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "fuzz_common.h"
#include "session.h"

using yarvo::fuzz::check;
namespace session = yarvo::session;

namespace {

// The line the writer gives an event.
std::string rewrite(const session::Event& e) {
    switch (e.kind) {
    case session::Event::Attribute:
        return session::attributeLine(e.micros, e.instance, e.product, e.error, e.response);
    case session::Event::Open:
        return session::openLine(e.micros, e.instance, e.error);
    case session::Event::End:
        return session::endLine(e.micros, e.result);
    case session::Event::Transfer:
        break;
    }
    yarvo::wire::TransferBlock request{}, answer{};
    request.word0 = e.word0;
    request.word1 = e.word1;
    request.requestLength = e.requestLength;
    request.responseLength = e.responseOffered;
    std::memcpy(request.buffer, e.request.data(), e.request.size());
    answer.responseLength = e.responseLength;
    std::memcpy(answer.buffer, e.response.data(), e.response.size());
    return session::transferLine(e.micros, e.instance, request, answer, e.result, e.error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    session::Session s;
    std::string error;
    if (!session::readSession(in, &s, &error)) {
        check(!error.empty() && error[0] >= '1' && error[0] <= '9', "a refusal names its line");
        return 0;
    }
    check(s.lines >= 1 && s.header.boards.size() <= 16, "header");
    uint32_t line = 1;
    std::string again = session::headerLine(s.header);
    for (const session::Event& e : s.events) {
        check(e.line > line && e.line <= s.lines, "lines in order", e.line);
        line = e.line;
        check(e.instance < 16, "board instance", e.instance);
        if (e.kind == session::Event::Transfer) {
            check(e.request.size() <= 512 && e.response.size() <= 512, "a transfer within the block");
            check((e.result != 0) == (e.error != 0), "a failure has its errno");
            (void)yarvo::decode::describe(session::exchangeOf(e));
        } else {
            check(e.response.size() <= session::kMaxTextBytes, "an attribute text within a page");
        }
        again += rewrite(e);
    }
    // What was read, written again, reads back the same.
    std::istringstream back(again);
    session::Session t;
    check(session::readSession(back, &t, &error), "the writer's lines read back");
    check(t.events.size() == s.events.size() && !t.cut, "as many events");
    for (size_t i = 0; i < s.events.size(); ++i) {
        const session::Event &a = s.events[i], &b = t.events[i];
        check(a.kind == b.kind && a.micros == b.micros && a.instance == b.instance && a.error == b.error &&
                  a.result == b.result && a.request == b.request && a.response == b.response &&
                  a.requestLength == b.requestLength && a.responseLength == b.responseLength &&
                  a.word0 == b.word0 && a.word1 == b.word1 && a.responseOffered == b.responseOffered,
              "an event reads back as written", static_cast<unsigned>(i));
    }
    return 0;
}
