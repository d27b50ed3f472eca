// yarvo-sim: runs an unmodified host program against virtual K-Mora Yarvo
// Boards through the real kernel path (a FUSE-served /dev/Kmora_N in a
// private mount namespace), with a live view and a control channel; or, where
// FUSE is unavailable, with the in-process LD_PRELOAD transport.
//
//   yarvo-sim run [options] -- PROGRAM [ARGS...]
//   yarvo-sim ctl SOCKET COMMAND...      (or commands on standard input)
//   yarvo-sim check
//
// This file puts the pieces together: sandbox.h (namespaces and mounts),
// board_fs.h (the FUSE side), supervise.h (the host's process tree),
// terminal.h and terminal_view.h (the live view), control_server.h,
// web_server.h (the browser view).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "board_fs.h"
#include "board_setup.h"
#include "companion.h"
#include "control_server.h"
#include "output_file.h"
#include "output_relay.h"
#include "replay.h"
#include "sandbox.h"
#include "session_recorder.h"
#include "supervise.h"
#include "terminal_view.h"
#include "time_plan.h"
#include "transfer_log.h"
#include "web_server.h"

namespace {

using namespace yarvo::simtool;

constexpr char kDefaultReelFile[] = "tamso-reel-definitions.xml";
constexpr char kDefaultLog[] = "yarvo-sim.log";
constexpr char kPreloadName[] = "libyarvo-sim-preload.so";
constexpr auto kLogGrace = std::chrono::seconds(2);   // for the transfer log's last lines at the end

void say(const std::string& text) { std::fprintf(stderr, "yarvo-sim: %s\n", text.c_str()); }

std::string preloadLibrary(const std::string& given) {
    if (!given.empty()) {
        return ::access(given.c_str(), R_OK) == 0 ? given : "";
    }
    return yarvo::tools::findCompanion(kPreloadName, YARVO_SIM_PRELOAD_RELATIVE, YARVO_SIM_PRELOAD_BUILD_PATH);
}

struct RunOptions {
    std::vector<std::string> boards;
    CabinetPlan cabinet;
    std::string reelFile;
    std::vector<std::string> reelTypes;
    std::string controlPath;
    bool view = false, noView = false;
    std::string logPath;
    std::string transferLogPath;
    bool preload = false;
    std::string preloadLibraryPath;
    bool verbose = false;
    bool benchNoop = false;
    std::vector<std::string> program;
    // Record and replay of the program's session (session_recorder.h, replay.h).
    std::string recordPath;
    std::string replayPath;
    std::string replayTiming = "fast";
    int divergenceStatus = 3;
    std::string timeScale;                 // --time-scale (time_plan.h)
    std::vector<std::string> faults;       // --fault
    // The browser view: --web [[HOST:]PORT], --cabinet FILE.
    bool web = false;
    std::string webAddress;
    std::string cabinetPath;
};

int runWithPreload(RunOptions& o, const std::string& programPath) {
    const std::string library = preloadLibrary(o.preloadLibraryPath);
    if (library.empty()) {
        say(std::string("cannot find ") + kPreloadName + " (give it with --preload-library)");
        return kOwnFailure;
    }
    say("in-process transport: it covers dynamically linked glibc programs only; the boards live "
        "inside the program, so there is no view and no control socket");
    if (o.view || !o.controlPath.empty() || !o.cabinet.product.empty()) {
        say("--view, --control and --product do not apply with --preload and are ignored");
    }
    const char* old = std::getenv("LD_PRELOAD");
    const std::string preload = library + (old != nullptr && *old != 0 ? std::string(":") + old : "");
    if (!o.transferLogPath.empty()) {
        // The preload appends to it from inside the program (and from every
        // program that one starts): emptied here once, named absolutely.
        std::string error;
        yarvo::tools::OutputFileOptions options;
        options.truncate = true;
        const int fd = yarvo::tools::openOutputFile(o.transferLogPath, options, &error);
        char* real = fd >= 0 ? ::realpath(o.transferLogPath.c_str(), nullptr) : nullptr;
        if (fd >= 0) {
            ::close(fd);
        }
        if (real == nullptr) {
            say(error.empty() ? "cannot name the transfer log " + o.transferLogPath : error);
            return kOwnFailure;
        }
        ::setenv("YARVO_SIM_LOG", real, 1);
        std::free(real);
    }
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    ::setenv("YARVO_SIM_BOARDS", preloadBoardList(o.cabinet).c_str(), 1);
    std::vector<char*> argv;
    for (std::string& a : o.program) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ::execv(programPath.c_str(), argv.data());
    say(o.program[0] + ": " + std::strerror(errno));
    return errno == ENOENT ? kNotFound : kNotExecutable;
}

// The reel-definition file a host loads when it names none: the library's
// default name in the working directory (which the host shares), else the
// example file, installed or in the source tree; "" when there is neither.
std::string defaultReelFile() {
    if (::access(kDefaultReelFile, F_OK) == 0) {
        return kDefaultReelFile;
    }
    return yarvo::tools::findCompanion(kDefaultReelFile, YARVO_SIM_EXAMPLES_RELATIVE, YARVO_SIM_EXAMPLES_SOURCE);
}

// Reel types and the file that names their symbols, for the view and status:
// the types named with --reel-types, else those the host's set-up matches.
bool loadLabels(RunOptions& o, ReelLabels* labels, std::string* error) {
    for (const std::string& value : o.reelTypes) {
        if (!labels->assignment.add(value, error)) {
            return false;
        }
    }
    const bool named = !o.reelFile.empty();
    if (!named) {
        o.reelFile = defaultReelFile();
    }
    if (o.reelFile.empty()) {
        if (o.reelTypes.empty()) {
            return true;
        }
        *error = std::string("--reel-types needs a reel-definition file: there is no ") + kDefaultReelFile +
                 " here and no example file; name one with --reel-file FILE";
        return false;
    }
    if (!labels->strips.load(o.reelFile, error)) {
        if (named || !o.reelTypes.empty()) {
            return false;
        }
        // A file chosen by default only helps the view: without it, no types.
        say("the view names no reel types: " + *error);
        o.reelFile.clear();
        return true;
    }
    labels->matcher = ReelTypeMatcher(labels->strips);
    for (const std::string& type : labels->assignment.namedTypes()) {
        if (labels->strips.find(type) == nullptr) {
            *error = "reel type \"" + type + "\" is not in " + o.reelFile;
            return false;
        }
    }
    return true;
}

int runCommand(RunOptions& o) {
    std::string error;
    // A replay serves the recording's boards, on the kernel path only.
    std::shared_ptr<Replay> replay;
    const bool cabinetGiven = !o.boards.empty() || !o.cabinet.product.empty();
    if (!o.replayPath.empty() && !prepareReplay(o.replayPath, o.replayTiming, cabinetGiven, o.preload,
                                                !o.recordPath.empty(), &replay, &o.boards, &error)) {
        say(error);
        return kOwnFailure;
    }
    if (o.preload && !o.recordPath.empty()) {
        say("--record works on the kernel path; under --preload, record with yarvoctl record instead");
        return kOwnFailure;
    }
    for (const std::string& text : o.boards) {
        BoardEntry entry;
        if (!parseBoardEntry(text, &entry, &error)) {
            say(error);
            return kOwnFailure;
        }
        o.cabinet.boards.push_back(entry);
    }
    if (!validateCabinet(o.cabinet, &error)) {
        say(error);
        return kOwnFailure;
    }
    std::vector<unsigned> instances;
    for (const BoardEntry& b : effectiveBoards(o.cabinet)) {
        instances.push_back(b.instance);
    }
    TimePlan timePlan;
    if (!planTime(o.timeScale, o.faults, instances, &timePlan, &error)) {
        say(error);
        return kOwnFailure;
    }
    std::string programPath;
    if (const int status = resolveProgram(o.program[0], &programPath, &error); status != 0) {
        say(error);
        return status;
    }
    if (o.preload && o.web) {
        say("--web needs the kernel path: under --preload the boards live inside the program, where "
            "yarvo-sim cannot see them");
        return kOwnFailure;
    }
    WebSetup webSetup;
    if (o.web && (!web::parseWebAddress(o.webAddress, &webSetup.address, &error) ||
                  (!o.cabinetPath.empty() && !webSetup.cabinet.load(o.cabinetPath, &error)))) {
        say(error);
        return kOwnFailure;
    }
    if (o.preload) {
        exportTimePlan(timePlan);
        return runWithPreload(o, programPath);
    }
    static ReelLabels labels;   // read by the control thread until _exit
    if (!loadLabels(o, &labels, &error)) {
        say(error);
        return kOwnFailure;
    }
    const std::vector<std::string> problems = kernelPathProblems();
    if (!problems.empty()) {
        say("the kernel path is not available here:");
        for (const std::string& p : problems) {
            std::fprintf(stderr, "  - %s\n", p.c_str());
        }
        if (!replay) {
            say("--preload runs the program with the in-process LD_PRELOAD transport instead "
                "(dynamically linked glibc programs only)");
        }
        return kOwnFailure;
    }

    // The terminal is checked before anything starts.
    const bool view = o.view || (!o.noView && ::isatty(STDOUT_FILENO));
    Terminal terminal;
    if (view && !terminal.take(&error)) {
        say(error);
        return kOwnFailure;
    }
    if (view && o.logPath.empty()) {
        o.logPath = kDefaultLog;
    }
    int logFd = -1;
    if (!o.logPath.empty()) {
        yarvo::tools::OutputFileOptions options;
        options.truncate = true;
        if ((logFd = yarvo::tools::openOutputFile(o.logPath, options, &error)) < 0) {
            terminal.giveBack();
            say(error);
            return kOwnFailure;
        }
    }
    const int nullFd = view ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
    const int errorFd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    // While the view is shown, the program writes to a pseudo-terminal that
    // is copied to the log line by line (output_relay.h).
    static OutputRelay relay;
    int outputFd = logFd;
    if (view) {
        if (!relay.start(logFd, STDOUT_FILENO, &error)) {
            terminal.giveBack();
            say(error);
            return kOwnFailure;
        }
        outputFd = relay.hostSide();
        ::setenv(kViewEnvironment, "1", 1);
    }

    // The cabinet: boards in this process's virtual driver, on the wall clock.
    yarvo::sim::VirtualDriver& driver = yarvo::sim::driver();
    buildCabinet(driver, o.cabinet);
    driver.setLogging(false);   // a long run would grow the in-memory log without end
    driver.useRealTime(true);
    applyTimePlan(driver, timePlan);
    // Opened before the sandbox hides the machine's /dev.
    static yarvo::decode::TransferLogWriter transferLog;
    if (!o.transferLogPath.empty() && !transferLog.start(driver, o.transferLogPath, &error)) {
        terminal.giveBack();
        say(error);
        return kOwnFailure;
    }
    // The session: the recording answers (replay), or every exchange is
    // written down (--record).
    static const auto recorder = std::make_shared<SessionRecorder>();
    if (replay) {
        replay->applyBoardTexts();
        replay->announceDivergence(!view);
        driver.setInterceptor(replay);
    } else if (!o.recordPath.empty()) {
        if (!recorder->start(driver, instances, o.recordPath, &error)) {
            terminal.giveBack();
            say(error);
            return kOwnFailure;
        }
        driver.setInterceptor(recorder);
    }

    Sandbox sandbox;
    static BoardFileSystem fs(driver, instances);   // lives until _exit
    fs.serveNoop(o.benchNoop);
    if (!sandbox.enter(&error) || !sandbox.populate(fs, instances, &error)) {
        terminal.giveBack();
        say(error);
        return kOwnFailure;
    }
    if (o.verbose) {
        for (const std::string& s : sandbox.skipped()) {
            say("not available in the namespace: " + s);
        }
        say(std::string("kernel path ready") + (sandbox.unprivileged() ? " (user namespace)" : ""));
    }
    ControlServer control;
    if (!o.controlPath.empty()) {
        if (!control.start(o.controlPath, driver, instances, symbolNamer(&labels, driver), &error)) {
            terminal.giveBack();
            say(error);
            return kOwnFailure;
        }
        say("control socket " + o.controlPath);
    }
    static WebView webView;   // lives until _exit
    if (o.web) {
        webSetup.driver = &driver;
        webSetup.instances = instances;
        webSetup.labels = &labels;
        std::string url;
        const web::WebAddress address = webSetup.address;
        if (!webView.start(std::move(webSetup), &url, &error)) {
            terminal.giveBack();
            control.stop();
            say(error);
            return kOwnFailure;
        }
        if (!address.loopback) {
            say("warning: the web view listens on " + address.urlHost() +
                ", not only on this machine's loopback: anyone who learns its URL can use the cabinet");
        }
        say("web view at " + url);
    }
    if (view) {
        say("the program's output goes to " + o.logPath);
    }

    Supervisor supervisor;
    if (!supervisor.prepare(&error) || !supervisor.start(programPath, o.program, nullFd, outputFd, errorFd, &error)) {
        terminal.giveBack();
        control.stop();
        say(error);
        return kOwnFailure;
    }
    relay.closeHostSide();
    ViewSetup setup;
    unsigned shown = instances.front();
    if (view) {
        setup.driver = &driver;
        setup.instances = instances;
        setup.labels = &labels;
        setup.title = o.program[0] + " (pid " + std::to_string(supervisor.program()) + ")";
        setup.logPath = o.logPath;
        setup.controlPath = o.controlPath;
        setup.reelFile = o.reelFile;
        setup.selected = &shown;
        runTerminalView(setup, terminal, [&] { return supervisor.running(); }, supervisor.stops());
        if (supervisor.running()) {
            say(*supervisor.stops() > 0 ? "waiting for the program to end (once more to kill it)"
                                        : "view closed; waiting for the program to end; its output goes on to " +
                                              o.logPath);
        }
    }
    const int code = supervisor.wait();
    relay.finish(kLogGrace);
    // The session's end: the recording's last line.
    if (!replay && !o.recordPath.empty() && !recorder->finish(code, &error)) {
        say(error);
    }
    control.stop();
    transferLog.stop(kLogGrace);
    if (transferLog.lost() > 0) {
        say("the transfer log lost " + std::to_string(transferLog.lost()) + " of " +
            std::to_string(transferLog.lost() + transferLog.written()) +
            " transfers: its reader did not keep up (the log marks where)");
    }
    fs.shutDown();
    if (view || o.verbose) {
        say("the program ended with status " + std::to_string(code));
    }
    if (view) {
        // The view's last frame and each reel's end, left on the terminal.
        printLastFrame(setup, shown, stdout);
        say("the program's output is in " + o.logPath);
    }
    // The replay's verdict, last, so that the view's frame does not hide it.
    return replay ? finishReplay(*replay, !view, o.verbose, o.divergenceStatus, code) : code;
}

// ------------------------------------------------------------ ctl, check

int ctlCommand(const std::string& socket, const std::vector<std::string>& words) {
    std::vector<std::string> commands;
    if (words.empty() || (words.size() == 1 && words[0] == "-")) {
        std::string line;
        while (std::getline(std::cin, line)) {
            commands.push_back(line);
        }
    } else {
        std::string command;
        for (const std::string& w : words) {
            command += (command.empty() ? "" : " ") + w;
        }
        commands.push_back(command);
    }
    std::vector<std::string> replies;
    std::string error;
    const int status = sendControlCommands(socket, commands, &replies, &error);
    for (const std::string& reply : replies) {
        std::printf("%s\n", reply.c_str());
    }
    if (status == 2) {
        say(error);
    }
    return status;
}

int checkCommand(const std::string& preloadGiven) {
    const std::vector<std::string> problems = kernelPathProblems();
    if (problems.empty()) {
        std::printf("kernel path: available (%s)\n",
                    ::geteuid() == 0 ? "as root" : "through a user namespace");
    } else {
        std::printf("kernel path: not available\n");
        for (const std::string& p : problems) {
            std::printf("  - %s\n", p.c_str());
        }
    }
    const std::string library = preloadLibrary(preloadGiven);
    std::printf("in-process transport (--preload): %s\n",
                library.empty() ? "library not found"
                                : (library + " (dynamically linked glibc programs only)").c_str());
    return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs unmodified host programs against virtual K-Mora Yarvo Boards.", "yarvo-sim"};
    app.require_subcommand(1);

    RunOptions o;
    CLI::App* run = app.add_subcommand(
        "run", "Run PROGRAM with virtual boards behind /dev/Kmora_N and /sys/class/Kmora (yarvo-sim run [options] -- PROGRAM [ARGS...])");
    run->add_option("-b,--board", o.boards,
                    "A board: INSTANCE[:ADDRESS[:SPEED]], instance 0-15, address 0-7 (repeat for more; default 0:0)")
        ->allow_extra_args(false);
    run->add_option("--speed", o.cabinet.speed, "USB speed text of boards that name none (12 full, 480 high)")
        ->capture_default_str();
    run->add_option("--product", o.cabinet.product,
                    "Product text of every board instead of the real one, to test hosts against wrong boards");
    run->add_option("--reel-file,--reels", o.reelFile,
                    "Reel-definition file whose reel types the view matches against how the program sets up "
                    "its reels, and takes symbol positions from (default: the one a host loads, " +
                        std::string(kDefaultReelFile) + " in the working directory, else the example file)");
    run->add_option("--reel-types", o.reelTypes,
                    "Reel type of each reel, [B:]TYPE,TYPE,...: reels 0, 1, ... of every board, or of board B "
                    "(instead of the type matched)")
        ->allow_extra_args(false);
    run->add_option("-c,--control", o.controlPath,
                    "UNIX socket that takes control commands (see yarvo-sim ctl); mode 0600, served to this user and root only");
    run->add_flag("--view", o.view,
                  "Show the live view (default when standard output is a terminal); the program's output then goes "
                  "to the log line by line through a pseudo-terminal, and the program finds YARVO_SIM_VIEW=1 set");
    run->add_flag("--no-view", o.noView, "Do not show the live view");
    run->add_option("--log", o.logPath,
                    "Send the program's output to this file or terminal (default with the view: " +
                        std::string(kDefaultLog) + "); never written through a symbolic link");
    run->add_option("--transfer-log", o.transferLogPath,
                    "Write each transfer the boards serve to this file, decoded as yarvoctl trace shows it; "
                    "a reader that falls behind loses lines, counted");
    run->add_flag("--preload", o.preload,
                  "Use the in-process LD_PRELOAD transport instead of the kernel path (dynamically linked glibc programs only)");
    run->add_option("--preload-library", o.preloadLibraryPath, "Path of libyarvo-sim-preload.so");
    run->add_flag("-v,--verbose", o.verbose, "Say more about the set-up");
    run->add_flag("--bench-noop", o.benchNoop,
                  "Also serve /dev/Kmora_noop, whose ioctl the daemon answers at once: the floor of the "
                  "kernel path, for benchmarks (kernel path only)");
    run->add_option("--time-scale", o.timeScale,
                    "Run the boards' clock N times as fast as the wall clock, 1 to 1000 (default 1): long soaks in seconds");
    run->add_option("--fault", o.faults,
                    "A fault at a time on the boards' clock, 'at TIME COMMAND': TIME like 5s or 250ms, COMMAND one of "
                    "jam, lose-steps, index, power, heal, tamper as yarvo-sim ctl takes it, e.g. 'at 5s jam 0 2' "
                    "(repeat for more)")
        ->allow_extra_args(false);
    run->add_option("--web", o.webAddress,
                    "Serve the browser view on [HOST:]PORT (default, and port 0: a free port on 127.0.0.1); "
                    "the URL to open is printed on standard error")
        ->expected(0, 1);
    run->add_option("--cabinet", o.cabinetPath,
                    "Cabinet file (JSON) naming inputs and outputs and the reel types' symbols for the browser view");
    run->add_option("program", o.program, "PROGRAM [ARGS...]")->required();
    run->positionals_at_end();
    run->get_option("--view")->excludes("--no-view");

    // Record and replay.  "yarvo-sim replay SESSION ..." is parsed as "run
    // --replay SESSION ..." (see replayAsRun), so that run's options apply
    // to a replay too; the replay subcommand below is there for its help.
    run->add_option("--record", o.recordPath,
                    "Write the program's session with its boards to this file, as yarvoctl record does "
                    "(yarvo-sim replay replays it, yarvoctl trace --from shows it)");
    const char* replayGroup = "Replay (yarvo-sim replay SESSION ... runs as run --replay SESSION ...)";
    run->add_option("--replay", o.replayPath, "Answer from this recorded session instead of the firmware model")
        ->group(replayGroup);
    run->add_option("--timing", o.replayTiming, "fast (default): answer at once; recorded: not before the recorded time")
        ->check(CLI::IsMember({"recorded", "fast"}))
        ->needs("--replay")
        ->group(replayGroup);
    run->add_option("--divergence-status", o.divergenceStatus,
                    "Exit status once the program has left the recording (1-124; default 3)")
        ->check(CLI::Range(1, 124))
        ->needs("--replay")
        ->group(replayGroup);
    CLI::App* replayHelp = app.add_subcommand(
        "replay", "Run PROGRAM with its boards answering from a recorded session (yarvo-sim replay SESSION "
                  "[--timing recorded|fast] [--divergence-status N] [run's options] -- PROGRAM [ARGS...])");
    std::string sessionHelp;
    replayHelp->add_option("session", sessionHelp, "The session file (yarvoctl record, yarvo-sim run --record)")
        ->required();
    replayHelp->add_option("--timing", sessionHelp,
                           "fast (default): answer at once; recorded: no answer before its recorded time since the start");
    replayHelp->add_option("--divergence-status", sessionHelp,
                           "Exit status when the program leaves the recording (1-124; default 3)");
    std::vector<std::string> programHelp;
    replayHelp->add_option("program", programHelp, "PROGRAM [ARGS...]");
    replayHelp->footer(
        "The session comes first.  Every option of run applies but --board, --speed and --product (the boards\n"
        "are the recording's) and --preload (no daemon to answer from).  Exit status: the program's own, or\n"
        "the divergence status once it has left the recording.");

    std::string socket;
    std::vector<std::string> words;
    CLI::App* ctl = app.add_subcommand(
        "ctl", "Send one control command to a running simulator, or one per line from standard input");
    ctl->add_option("socket", socket, "The simulator's control socket")->required();
    ctl->add_option("command", words,
                    "status [B] | boards | board B | input N on|off|toggle | inputs HEX | address A | unplug B | "
                    "replug B | fail B N [ERRNO] | tamper B REEL HALFSTEPS | jam B REEL [AFTER_STEPS] | "
                    "lose-steps B REEL N | index B REEL dead|stuck | power B good|low|failed | heal B REEL");

    CLI::App* check = app.add_subcommand("check", "Tell which transports work on this machine");
    check->add_option("--preload-library", o.preloadLibraryPath, "Path of libyarvo-sim-preload.so");

    std::vector<std::string> replayArgs = replayAsRun(argc, argv);
    std::vector<char*> replayArgv;
    for (std::string& a : replayArgs) {
        replayArgv.push_back(a.data());
    }
    try {
        if (replayArgv.empty()) {
            app.parse(argc, argv);
        } else {
            app.parse(static_cast<int>(replayArgv.size()), replayArgv.data());
        }
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kOwnFailure;
    }
    o.web = run->count("--web") > 0;
    if (!o.cabinetPath.empty() && !o.web) {
        std::fprintf(stderr, "yarvo-sim: --cabinet is for the browser view: give --web too\n");
        return kOwnFailure;
    }
    int code;
    if (replayHelp->parsed()) {
        say("replay: name the session first: yarvo-sim replay SESSION [options] -- PROGRAM [ARGS...]");
        code = kOwnFailure;
    } else if (run->parsed()) {
        code = runCommand(o);
    } else if (ctl->parsed()) {
        code = ctlCommand(socket, words);
    } else {
        code = checkCommand(o.preloadLibraryPath);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // Threads (the board file system's, the control server's, the transfer
    // log's) may still be running; leave without running destructors under
    // them.
    ::_exit(code);
}
