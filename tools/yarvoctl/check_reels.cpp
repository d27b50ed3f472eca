// check-reels FILE [--type T]: the reel-definition file as the library reads it.
#include <iostream>
#include <memory>

#include "common.h"
#include "reel_check.h"

namespace yarvoctl {
namespace {

struct CheckArgs {
    std::string file;
    std::string type;
    CLI::Option* typeOpt = nullptr;
};

int runCheck(const CheckArgs& a) {
    using yarvo::tools::Severity;
    const yarvo::tools::ReelFileReport report =
        yarvo::tools::checkReelFile(a.file, a.typeOpt->count() != 0 ? a.type.c_str() : nullptr);
    const size_t errors = report.errors();
    const size_t warnings = report.warnings();

    if (context().json) {
        Json diagnostics = Json::array();
        for (const auto& d : report.diagnostics) {
            Json item = Json::object();
            item.set("severity", d.severity == Severity::Error ? "error" : "warning")
                .set("line", d.line)
                .set("column", d.column)
                .set("reelType", d.reelType)
                .set("element", d.element)
                .set("attribute", d.attribute)
                .set("message", d.message);
            diagnostics.push(item);
        }
        Json types = Json::array();
        for (const auto& t : report.types) {
            types.push(Json::object()
                           .set("name", t.name)
                           .set("line", t.line)
                           .set("reachable", t.reachable)
                           .set("accepted", t.accepted));
        }
        Json json = Json::object();
        json.set("file", a.file)
            .set("loaded", report.loaded)
            .set("errors", static_cast<unsigned long>(errors))
            .set("warnings", static_cast<unsigned long>(warnings))
            .set("types", types)
            .set("diagnostics", diagnostics);
        std::cout << json.dump() << "\n";
    } else {
        for (const auto& d : report.diagnostics) {
            std::cout << yarvo::tools::formatDiagnostic(a.file, d) << "\n";
        }
        std::string summary = a.file + ": " + std::to_string(report.types.size()) + " reel type" +
                              (report.types.size() == 1 ? "" : "s") + " checked, " +
                              std::to_string(errors) + " error" + (errors == 1 ? "" : "s") + ", " +
                              std::to_string(warnings) + " warning" + (warnings == 1 ? "" : "s");
        std::cout << summary << "\n";
    }
    std::cout.flush();
    if (errors != 0) return kExitFailed;
    if (warnings != 0) return kExitWarnings;
    return kExitOk;
}

}  // namespace

void addCheckReelsCommand(CLI::App& app) {
    Context& ctx = context();
    auto args = std::make_shared<CheckArgs>();
    CLI::App* sub = app.add_subcommand(
        "check-reels",
        "check a reel-definition file by the library's rules: errors for what makes the library "
        "reject a reel type, warnings for what it accepts but is almost certainly wrong "
        "(exit 0 clean, 1 errors, 3 warnings only)");
    sub->add_option("file", args->file, "reel-definition file")->required();
    args->typeOpt = sub->add_option("--type", args->type, "check only this reel type, found as the library finds it");
    sub->callback([&ctx, args] { ctx.action = [args] { return runCheck(*args); }; });
}

}  // namespace yarvoctl
