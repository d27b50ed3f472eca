// The browser view (yarvo-sim run --web): an HTTP server on one address
// that serves the page (its assets are compiled in; nothing is read from
// disk), a stream of the boards' state as server-sent events, and actions
// that go through the control channel's commands.
//
// Security: every request carries the run's token (query parameter
// "token", or the header X-Yarvo-Token), drawn from the system's random
// source; without it the answer is 403.  Requests are bounded in size
// (actions: 1 KiB) and rate (kRequestsPerSecond, in bursts of kBurst; then
// 429), connections in number (kWorkers served at once, kWaiting more
// accepted; the rest wait in the kernel), and every action is checked
// before it runs (400 with the reason).
//
// A slow browser never slows a board or the host: one thread takes each
// board's snapshot (never waiting for a board) and encodes the state up to
// 30 times a second while someone watches; each stream sends the latest
// state when it can, skipping those it missed, so nothing queues up, and a
// stream that cannot write for kWriteTimeout is closed (the page reconnects
// and carries on).  At most kMaxStreams streams at once.
#ifndef YARVO_SIM_TOOL_WEB_SERVER_H
#define YARVO_SIM_TOOL_WEB_SERVER_H

#include <memory>
#include <string>
#include <vector>

#include "cabinet_file.h"
#include "view_model.h"
#include "web_state.h"

namespace yarvo::simtool {

struct WebSetup {
    sim::VirtualDriver* driver = nullptr;
    std::vector<unsigned> instances;
    const ReelLabels* labels = nullptr;
    CabinetFile cabinet;
    web::WebAddress address;
    unsigned updatesPerSecond = 30;
};

class WebView {
public:
    static constexpr unsigned kMaxStreams = 16;
    static constexpr unsigned kWorkers = 24;
    static constexpr unsigned kWaiting = 64;
    static constexpr unsigned kRequestsPerSecond = 200;
    static constexpr unsigned kBurst = 400;
    static constexpr unsigned kWriteTimeoutSeconds = 5;
    static constexpr size_t kTransfersKept = 200;   // per board

    WebView();
    ~WebView();
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    // Binds the address and starts serving; *url is the page's address with
    // the token.  False with a message.
    bool start(WebSetup setup, std::string* url, std::string* error);
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace yarvo::simtool

#endif
