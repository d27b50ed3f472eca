// yarvoctl: the technician's tool for K-Mora Yarvo boards.
//
//   yarvoctl [--address A] [--reels FILE] [--json] SUBCOMMAND ...
//
// Exit status: 0 success, 1 an operation failed (reported on standard error
// as "yarvoctl: <operation>: <code name> (<number>)"), 2 usage error,
// 3 check-reels found warnings but no errors (soak: cmd_soak.cpp).
#include <iostream>

#include "codes.h"
#include "common.h"

namespace {

int usageError(const std::string& message) {
    std::cerr << "yarvoctl: " << message << "\n"
              << "Run with --help for more information.\n";
    return yarvoctl::kExitUsage;
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
        "Exit status: 0 success, 1 operation failed, 2 usage error, 3 check-reels warnings only\n"
        "(soak: 1 a reel missed or raised a fault flag, 4 a library call failed).");

    addBoardCommands(app);
    addReelCommands(app);
    addCheckReelsCommand(app);
    addTraceCommand(app);
    addCodesCommand(app);
    addSoakCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }

    try {
        return ctx.action ? ctx.action() : kExitUsage;
    } catch (const Failure& f) {
        std::cout.flush();
        std::cerr << "yarvoctl: " << f.operation() << ": " << f.what() << "\n";
        return kExitFailed;
    } catch (const CLI::Error& e) {
        return usageError(e.what());
    } catch (const std::exception& e) {
        std::cerr << "yarvoctl: " << e.what() << "\n";
        return kExitFailed;
    }
}
