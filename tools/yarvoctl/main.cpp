// yarvoctl: the technician's tool for K-Mora Yarvo boards.
//
//   yarvoctl [--address A] [--reels FILE] [--json] SUBCOMMAND ...
//
// Exit status: 0 success, 1 an operation failed (reported on standard error
// as "yarvoctl: <operation>: <code name> (<number>)"), 2 usage error,
// 3 check-reels found warnings but no errors; trace gives its program's
// (soak: cmd_soak.cpp).
// With --json every error is also one JSON document on standard output.
#include <iostream>

#include "codes.h"
#include "common.h"
#include "trace.h"

namespace {

// Whether --json was asked for before "--", for errors found while the
// command line is still being read.
bool jsonAsked(int argc, char** argv) {
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        if (std::string(argv[i]) == "--json") return true;
    }
    return yarvoctl::context().json;
}

// Errors go to standard error; with --json also to standard output as one
// document, {"error": {...}}, so that scripts read results and failures alike.
void reportError(bool json, const yarvoctl::Json& error) {
    if (json) std::cout << yarvoctl::Json::object().set("error", error).dump() << "\n" << std::flush;
}

int usageError(bool json, const std::string& message) {
    std::cerr << "yarvoctl: " << message << "\n"
              << "Run with --help for more information.\n";
    reportError(json, yarvoctl::Json::object().set("usage", true).set("message", message));
    return yarvoctl::kExitUsage;
}

// The first word of the command line that is neither an option nor an
// option's value: the subcommand asked for.
std::string commandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") return "";
        if (word == "--address" || word == "-a" || word == "--reels") {
            ++i;
        } else if (word.empty() || word[0] != '-') {
            return word;
        }
    }
    return "";
}

void addCodesCommand(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("codes", "list the library's status codes and what they mean");
    sub->callback([] {
        yarvoctl::context().action = [] {
            yarvoctl::Json list = yarvoctl::Json::array();
            std::vector<std::string> lines;
            for (unsigned code = 0; code < 32; ++code) {
                const char* name = yarvo::tools::statusCodeName(code);
                if (std::string(name) == "ReelMsgUnknown") continue;
                const char* meaning = yarvo::tools::statusCodeMeaning(code);
                list.push(yarvoctl::Json::object().set("code", code).set("name", name).set("meaning", meaning));
                char line[160];
                std::snprintf(line, sizeof line, "%3u  %-26s %s", code, name, meaning);
                lines.push_back(line);
            }
            yarvoctl::emit(yarvoctl::Json::object().set("codes", list), lines);
            return yarvoctl::kExitOk;
        };
    });
}

}  // namespace

int main(int argc, char** argv) {
    using namespace yarvoctl;
    CLI::App app{"yarvoctl: inspect and drive K-Mora Yarvo reel-controller boards"};
    app.name("yarvoctl");
    app.require_subcommand(1);
    app.fallthrough();
    Context& ctx = context();
    app.add_flag("--json", ctx.json, "print results as JSON");
    app.add_option("--address,-a", ctx.address,
                   "use the board with this address (InitUSBBoard) instead of the first board found")
        ->transform(yarvoctl::integer(0, 255));
    app.add_option("--reels", ctx.reels,
                   "reel-definition file (default: tamso-reel-definitions.xml in the working directory)");
    app.footer(
        "Each run is a new process and the library keeps nothing between runs: reel subcommands\n"
        "take --type T (configure the reel from the reel-definition file) or --declare COUNT\n"
        "(declare reels for step-level use) to configure the reel first.\n"
        "Exit status: 0 success, 1 operation failed, 2 usage error, 3 check-reels warnings only;\n"
        "trace: its program's (127 not found, 126 not runnable); soak: 1 a reel missed or raised a\n"
        "fault flag, 4 a library call failed.  With --json errors are JSON too.");

    addBoardCommands(app);
    addReelCommands(app);
    addCheckReelsCommand(app);
    addTraceCommand(app);
    addRecordCommand(app);
    addCodesCommand(app);
    addSoakCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    } catch (const CLI::ParseError& e) {
        const std::string word = commandWord(argc, argv);
        if (!word.empty() && app.get_subcommands().empty()) {
            bool known = false;
            for (const CLI::App* sub : app.get_subcommands({})) known = known || sub->check_name(word);
            if (!known) return usageError(jsonAsked(argc, argv), "unknown command '" + word + "'");
        }
        return usageError(jsonAsked(argc, argv), e.what());
    }

    try {
        return ctx.action ? ctx.action() : kExitUsage;
    } catch (const Failure& f) {
        std::cout.flush();
        std::cerr << "yarvoctl: " << f.operation() << ": " << f.what() << "\n";
        Json error = Json::object().set("operation", f.operation()).set("message", f.what());
        if (f.code() >= 0) {
            error.set("code", f.code()).set("name", yarvo::tools::statusCodeName(static_cast<unsigned>(f.code())));
        }
        reportError(ctx.json, error);
        return f.exitCode();
    } catch (const CLI::Error& e) {
        return usageError(ctx.json, e.what());
    } catch (const std::exception& e) {
        std::cerr << "yarvoctl: " << e.what() << "\n";
        reportError(ctx.json, Json::object().set("message", e.what()));
        return kExitFailed;
    }
}
