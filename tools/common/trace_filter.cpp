// Parsing and applying a trace's filter.
#include "trace_filter.h"

#include <cctype>

#include "numbers.h"

namespace yarvo::decode {

namespace {

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Every command name the trace prints, for the message about one it does not.
std::string commandNames() {
    std::string names;
    for (unsigned code = 0; code < 256; ++code) {
        if (const char* name = commandName(static_cast<uint8_t>(code))) {
            names += (names.empty() ? "" : ", ") + std::string(name);
        }
    }
    return names;
}

}  // namespace

bool TransferFilter::parse(const std::string& text, std::string* error) {
    only_ = Terms();
    without_ = Terms();
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        std::string term = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::string given = term;
        Terms& terms = !term.empty() && term[0] == '-' ? without_ : only_;
        if (&terms == &without_) term.erase(0, 1);
        const size_t equals = term.find('=');
        const std::string key = term.substr(0, equals);
        long long value = 0;
        std::string why;
        if (term.empty()) {
            *error = "an empty term in \"" + text + "\"";
            return false;
        } else if (equals != std::string::npos && (key == "reel" || key == "board")) {
            const long long limit = key == "reel" ? 255 : 15;
            if (!tools::parseInteger(term.substr(equals + 1), 0, limit, &value, &why)) {
                *error = "\"" + given + "\": " + why;
                return false;
            }
            if (key == "reel") {
                terms.reels.set(static_cast<size_t>(value));
            } else {
                terms.boards.set(static_cast<size_t>(value));
            }
        } else if (term == "failed") {
            terms.failed = true;
        } else {
            const std::string name = upper(term);
            bool found = false;
            for (unsigned code = 0; code < 256 && !found; ++code) {
                const char* known = commandName(static_cast<uint8_t>(code));
                if (known != nullptr && name == known) {
                    terms.commands.set(code);
                    found = true;
                }
            }
            if (!found) {
                *error = "\"" + given + "\" is no term of a filter: COMMAND, reel=N, board=N or failed, each may "
                         "begin with '-' (commands: " + commandNames() + ")";
                return false;
            }
        }
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool TransferFilter::matchesAny(const Terms& terms, int board, const Exchange& e) {
    const int reel = reelOf(e);
    return terms.commands.test(e.command) || (reel >= 0 && terms.reels.test(static_cast<size_t>(reel))) ||
           (board >= 0 && board < 16 && terms.boards.test(static_cast<size_t>(board))) ||
           (terms.failed && verdict(e) != Verdict::Ok);
}

bool TransferFilter::shows(int board, const Exchange& e) const {
    if (matchesAny(without_, board, e)) return false;
    // Each kind named without '-' must match; kinds not named do not count.
    const int reel = reelOf(e);
    if (only_.commands.any() && !only_.commands.test(e.command)) return false;
    if (only_.reels.any() && (reel < 0 || !only_.reels.test(static_cast<size_t>(reel)))) return false;
    if (only_.boards.any() && (board < 0 || board >= 16 || !only_.boards.test(static_cast<size_t>(board)))) {
        return false;
    }
    return !only_.failed || verdict(e) != Verdict::Ok;
}

}  // namespace yarvo::decode
