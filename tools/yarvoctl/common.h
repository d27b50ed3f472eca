// Pieces every yarvoctl subcommand shares: exit codes, failure reporting in
// the one format "yarvoctl: <operation>: <code name> (<number>)", board
// selection, reel set-up within the process, and output as readable lines or
// JSON.
#ifndef YARVOCTL_COMMON_H
#define YARVOCTL_COMMON_H

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "yarvo.h"

namespace yarvoctl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitWarnings = 3;  // check-reels: warnings but no errors

// A failed operation: printed as "yarvoctl: <operation>: <text>", exit 1
// (or `exitCode`).  `code` is the library's status code, -1 for none.
class Failure : public std::runtime_error {
public:
    Failure(std::string operation, const std::string& text, int code = -1, int exitCode = kExitFailed)
        : std::runtime_error(text), operation_(std::move(operation)), code_(code), exitCode_(exitCode) {}
    const std::string& operation() const { return operation_; }
    int code() const { return code_; }
    int exitCode() const { return exitCode_; }

private:
    std::string operation_;
    int code_;
    int exitCode_;
};

// Throws the library's last status code for `operation` as a Failure.
[[noreturn]] void failFromLibrary(const char* operation, Yarvo& yarvo);
// Runs a library call's result through failFromLibrary when it is false.
inline void check(bool ok, const char* operation, Yarvo& yarvo) {
    if (!ok) failFromLibrary(operation, yarvo);
}

// A small ordered JSON value, enough for the tool's reports.
class Json {
public:
    Json() : kind_(Kind::Null) {}
    Json(bool b) : kind_(Kind::Bool), integer_(b) {}
    Json(int v) : kind_(Kind::Integer), integer_(v) {}
    Json(unsigned v) : kind_(Kind::Integer), integer_(v) {}
    Json(long v) : kind_(Kind::Integer), integer_(v) {}
    Json(unsigned long v) : kind_(Kind::Integer), integer_(static_cast<long long>(v)) {}
    Json(long long v) : kind_(Kind::Integer), integer_(v) {}
    Json(unsigned long long v) : kind_(Kind::Integer), integer_(static_cast<long long>(v)) {}
    Json(const char* s) : kind_(Kind::String), text_(s) {}
    Json(std::string s) : kind_(Kind::String), text_(std::move(s)) {}

    static Json object() { Json j; j.kind_ = Kind::Object; return j; }
    static Json array() { Json j; j.kind_ = Kind::Array; return j; }

    Json& set(const std::string& key, Json value);  // objects, keeps insertion order
    Json& push(Json value);                         // arrays
    std::string dump() const;

private:
    enum class Kind { Null, Bool, Integer, String, Array, Object } kind_;
    long long integer_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, Json>> members_;
    std::vector<Json> items_;
};

// What a subcommand produced: JSON for --json, readable lines otherwise.
void emit(const Json& json, const std::vector<std::string>& lines);

// How a reel is brought into a configured state within this process (the
// library keeps nothing between processes).
struct ReelSetup {
    std::string type;      // --type: VendorConfigureReel from the reel-definition file
    std::string declare;   // --declare COUNT[,PARAM16[,STEPS-PER-SYMBOL[,PARAM4[,PARAM5]]]]
};

// Options given before or after the subcommand, and what one run has done.
struct Context {
    bool json = false;
    int address = -1;       // --address; -1: the first board
    std::string reels;      // --reels FILE; empty: the library's default name
    std::function<int()> action;  // the chosen subcommand's work
    std::set<unsigned> definedReels;  // reels configured from a definition in this run
    long long reel = -1;          // the reel the subcommand works on, as given; -1: none
    long long declared = -1;      // reels declared with --declare in this run; -1: none
};

Context& context();

// Opens the selected board or throws a Failure.
void openBoard(Yarvo& yarvo);
// Loads --reels FILE into the library when it was given.
void loadReelFile(Yarvo& yarvo);
// The reel-definition path in force: --reels, or the library's default name.
std::string reelFilePath();
// Configures a reel as --type or --declare asks; nothing when neither was given.
void prepareReel(Yarvo& yarvo, unsigned reel, const ReelSetup& setup);
// Adds --type and --declare to a subcommand.
void addReelSetupOptions(CLI::App* sub, ReelSetup& setup);

// Every number on the command line goes through the tools' one number
// parser (decimal or 0x hexadecimal; 010 is ten; nothing wraps): this check
// refuses what is outside [min], [max] (the range of the library's
// parameter; the library judges the rest) and hands the value on in decimal.
CLI::Validator integer(long long min, long long max);

// Option helpers: the reel number (any size; the library judges 8 and
// above, so 9 and 300 fail alike).
CLI::Option* addReelArgument(CLI::App* sub, unsigned& reel);
// The reel number as the library takes it: a number above 255 goes as 255,
// which the library refuses as it refuses any above 7.
unsigned char reelArgument(unsigned reel);

// Whether the board's firmware version names the virtual board, whose
// status reply has documented meanings (one more board command).
bool virtualBoard(Yarvo& yarvo);

// Monotonic milliseconds, for --watch loops; and a SIGINT-aware sleep that
// returns false once the user interrupted.
bool sleepMillis(unsigned millis);
void installInterruptHandler();

// Text helpers.
std::string hexWord(uint32_t value, int digits);
std::string printable(const unsigned char* bytes, size_t length);

// Registration of the subcommands, one function per source file.
void addBoardCommands(CLI::App& app);
void addReelCommands(CLI::App& app);
void addCheckReelsCommand(CLI::App& app);
void addTraceCommand(CLI::App& app);
void addSoakCommand(CLI::App& app);

}  // namespace yarvoctl

#endif
