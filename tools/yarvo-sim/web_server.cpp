// The browser view's HTTP side (cpp-httplib): token, limits, the page, the
// state stream and actions.
#include "web_server.h"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "decode.h"
#include "transfer_log.h"
#include "web_assets.h"

namespace yarvo::simtool {

namespace {

using Clock = std::chrono::steady_clock;

// At most `threads` connections served at once and `waiting` accepted ones
// waiting; past that the accepting thread waits, and new connections wait
// in the kernel's queue.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(size_t threads, size_t waiting) : waiting_(waiting) {
        for (size_t i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { work(); });
        }
    }
    void enqueue(std::function<void()> fn) override {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return jobs_.size() < waiting_ || shutdown_; });
        jobs_.push_back(std::move(fn));
        ready_.notify_one();
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdown_ = true;
        }
        ready_.notify_all();
        room_.notify_all();
        for (std::thread& t : threads_) {
            t.join();
        }
    }

private:
    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return !jobs_.empty() || shutdown_; });
                if (jobs_.empty()) {
                    return;
                }
                fn = std::move(jobs_.front());
                jobs_.pop_front();
                room_.notify_one();
            }
            fn();
        }
    }
    size_t waiting_;
    std::vector<std::thread> threads_;
    std::list<std::function<void()>> jobs_;
    bool shutdown_ = false;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
};

// The run's token: 128 bits from the system's random source, in hex.
bool makeToken(std::string* token) {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    token->clear();
    for (unsigned char b : bytes) {
        *token += digits[b >> 4];
        *token += digits[b & 15];
    }
    return true;
}

// Compares without stopping at the first difference.
bool sameToken(const std::string& given, const std::string& token) {
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i) {
        difference |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    }
    return difference == 0;
}

// One decoded transfer, encoded once for every stream:
// [SEQUENCE, BOARD, TIME_MICROS, OK, "TEXT"].
struct TransferLine {
    uint64_t seq = 0;
    unsigned board = 0;
    std::string json;
};

// What every stream sends: the latest state and what goes with it.
struct Frame {
    uint64_t seq = 0;
    uint64_t layoutVersion = 0;
    std::shared_ptr<const std::string> layout;
    std::string state;
    std::shared_ptr<const std::vector<TransferLine>> transfers;   // by sequence
};

// Where a stream is.
struct Cursor {
    uint64_t frame = 0, layoutVersion = 0, transfer = 0;
    bool greeted = false;
    unsigned idleWaits = 0;
};

}  // namespace

struct WebView::Impl {
    WebSetup setup;
    std::string token;
    httplib::Server server;
    std::thread listener, ticker;
    std::vector<web::BoardTexts> texts;
    unsigned observer = 0;

    std::mutex mutex;                        // guards frame, stopping, streams
    std::condition_variable changed;         // a new frame, a new stream, stopping
    std::shared_ptr<const Frame> frame;
    bool stopping = false;
    unsigned streams = 0;

    // Transfers as the driver hands them over: the last kTransfersKept of
    // each board, waiting to be decoded by the ticker.
    std::mutex transferMutex;
    std::deque<std::pair<uint64_t, sim::TransferRecord>> pending[sim::kInstances];
    uint64_t transferSeq = 0;

    // Requests: a token bucket.
    std::mutex rateMutex;
    double allowance = kBurst;
    Clock::time_point lastRequest = Clock::now();

    void observe(const sim::TransferRecord& record) {
        if (record.instance >= sim::kInstances) {
            return;
        }
        std::lock_guard<std::mutex> lock(transferMutex);
        auto& queue = pending[record.instance];
        if (queue.size() == kTransfersKept) {
            queue.pop_front();
        }
        queue.emplace_back(++transferSeq, record);
    }

    bool allowRequest() {
        std::lock_guard<std::mutex> lock(rateMutex);
        const Clock::time_point now = Clock::now();
        allowance = std::min<double>(kBurst, allowance + std::chrono::duration<double>(now - lastRequest).count() *
                                                               kRequestsPerSecond);
        lastRequest = now;
        if (allowance < 1) {
            return false;
        }
        allowance -= 1;
        return true;
    }

    void run();
    void serveStream(const httplib::Request& request, httplib::Response& response);
    bool streamSome(Cursor& cursor, httplib::DataSink& sink);
    void serveAction(const httplib::Request& request, httplib::Response& response);
};

// The ticker: while someone watches, the boards' state up to
// updatesPerSecond times a second.
void WebView::Impl::run() {
    const auto period = std::chrono::microseconds(1000000 / std::max(1u, setup.updatesPerSecond));
    uint64_t seq = 0, layoutVersion = 0, decodedSeq = 0;
    std::string layoutKey;
    std::shared_ptr<const std::string> layout;
    std::deque<TransferLine> lines;
    std::shared_ptr<const std::vector<TransferLine>> recent;   // lines, as the frames share them
    Clock::time_point next = Clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return stopping || streams > 0; });
            if (stopping) {
                return;
            }
        }
        std::vector<web::WebBoard> boards(setup.instances.size());
        for (size_t i = 0; i < setup.instances.size(); ++i) {
            // The snapshot first: a reel it shows at rest is at rest in the
            // view model's frame taken after it.
            boards[i].snapshot = setup.driver->snapshot(setup.instances[i]);
            // Reel types as the terminal view has them: named, else matched.
            boards[i].frame = captureBoard(*setup.driver, setup.instances[i], *setup.labels);
        }
        const std::string key = web::layoutKey(boards);
        if (!layout || key != layoutKey) {
            layoutKey = key;
            layout = std::make_shared<const std::string>(
                web::encodeLayout(texts, boards, setup.labels->strips, setup.cabinet));
            ++layoutVersion;
        }

        // New transfers, decoded here rather than on the host's thread.
        std::vector<std::pair<uint64_t, sim::TransferRecord>> fresh;
        {
            std::lock_guard<std::mutex> lock(transferMutex);
            for (auto& queue : pending) {
                for (auto& entry : queue) {
                    if (entry.first > decodedSeq) {
                        fresh.push_back(std::move(entry));
                    }
                }
                queue.clear();
            }
        }
        std::sort(fresh.begin(), fresh.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& entry : fresh) {
            uint8_t response[wire::kBufferSize];
            const decode::Exchange exchange = decode::fromRecord(entry.second, response);
            const nlohmann::json line = {entry.first, entry.second.instance, entry.second.timeMicros,
                                         decode::verdict(exchange) == decode::Verdict::Ok, decode::describe(exchange)};
            lines.push_back({entry.first, entry.second.instance, line.dump(-1, ' ', true,
                                                                             nlohmann::json::error_handler_t::replace)});
            decodedSeq = entry.first;
        }
        if (!fresh.empty() || !recent) {
            // Keep the last kTransfersKept of each board.
            std::vector<size_t> count(sim::kInstances, 0);
            std::vector<TransferLine> kept;
            for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
                if (count[it->board]++ < kTransfersKept) {
                    kept.push_back(*it);
                }
            }
            std::reverse(kept.begin(), kept.end());
            lines.assign(kept.begin(), kept.end());
            recent = std::make_shared<const std::vector<TransferLine>>(std::move(kept));
        }

        auto next_frame = std::make_shared<Frame>();
        next_frame->seq = ++seq;
        next_frame->layoutVersion = layoutVersion;
        next_frame->layout = layout;
        next_frame->state = web::encodeState(boards);
        next_frame->transfers = recent;
        {
            std::lock_guard<std::mutex> lock(mutex);
            frame = std::move(next_frame);
        }
        changed.notify_all();

        next += period;
        const Clock::time_point now = Clock::now();
        if (next < now) {
            next = now;   // fell behind: no burst to catch up
        }
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_until(lock, next, [this] { return stopping; });
    }
}

// Writes what the stream has not seen of the latest frame; waits a little
// for a new one first.  False: the stream ends.
bool WebView::Impl::streamSome(Cursor& cursor, httplib::DataSink& sink) {
    std::shared_ptr<const Frame> latest;
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::milliseconds(250),
                         [&] { return stopping || (frame && frame->seq > cursor.frame); });
        if (stopping) {
            return false;
        }
        if (frame && frame->seq > cursor.frame) {
            latest = frame;
        }
    }
    std::string out;
    if (!cursor.greeted) {
        out += "retry: 1000\n\n";   // the browser reconnects after a second
        cursor.greeted = true;
    }
    if (!latest) {
        // Nothing new: a comment every ten seconds keeps the connection.
        if (out.empty() && ++cursor.idleWaits < 40) {
            return true;
        }
        cursor.idleWaits = 0;
        out += ": still here\n\n";
        return sink.write(out.data(), out.size());
    }
    cursor.idleWaits = 0;
    cursor.frame = latest->seq;
    if (latest->layoutVersion != cursor.layoutVersion) {
        cursor.layoutVersion = latest->layoutVersion;
        out += "event: layout\ndata: " + *latest->layout + "\n\n";
    }
    out += "event: state\ndata: " + latest->state + "\n\n";
    std::string lines;
    for (const TransferLine& line : *latest->transfers) {
        if (line.seq > cursor.transfer) {
            lines += (lines.empty() ? "" : ",") + line.json;
            cursor.transfer = line.seq;
        }
    }
    if (!lines.empty()) {
        out += "event: transfers\ndata: [" + lines + "]\n\n";
    }
    return sink.write(out.data(), out.size());
}

void WebView::Impl::serveStream(const httplib::Request&, httplib::Response& response) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (streams >= kMaxStreams) {
            response.status = 503;
            response.set_content("busy: " + std::to_string(kMaxStreams) + " views are open already\n", "text/plain");
            return;
        }
        ++streams;
    }
    changed.notify_all();
    auto cursor = std::make_shared<Cursor>();
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, cursor](size_t, httplib::DataSink& sink) { return streamSome(*cursor, sink); },
        [this](bool) {
            std::lock_guard<std::mutex> lock(mutex);
            --streams;
        });
}

void WebView::Impl::serveAction(const httplib::Request& request, httplib::Response& response) {
    web::WebAction action;
    std::string reason;
    if (!web::parseAction(request.body, setup.instances, &action, &reason)) {
        response.status = 400;
        response.set_content(reason + "\n", "text/plain");
        return;
    }
    sim::ControlSession session(*setup.driver, setup.instances, symbolNamer(setup.labels));
    session.select(action.board);
    const std::string reply = session.execute(action.command);
    if (reply.rfind("ok", 0) != 0) {
        response.status = 400;
        response.set_content(reply.rfind("error: ", 0) == 0 ? reply.substr(7) + "\n" : reply + "\n", "text/plain");
        return;
    }
    response.set_content(reply + "\n", "text/plain");
}

WebView::WebView() : impl_(std::make_unique<Impl>()) {}

WebView::~WebView() { stop(); }

bool WebView::start(WebSetup setup, std::string* url, std::string* error) {
    Impl& d = *impl_;
    d.setup = std::move(setup);
    if (!makeToken(&d.token)) {
        *error = std::string("cannot draw the web view's token from the system's random source: ") +
                 std::strerror(errno);
        return false;
    }
    for (unsigned instance : d.setup.instances) {
        web::BoardTexts t;
        t.instance = instance;
        const std::string device = "/sys/class/Kmora/Kmora_" + std::to_string(instance) + "/device/";
        d.setup.driver->readAttribute((device + "product").c_str(), &t.product);
        d.setup.driver->readAttribute((device + "speed").c_str(), &t.speed);
        while (!t.product.empty() && t.product.back() == '\n') t.product.pop_back();
        while (!t.speed.empty() && t.speed.back() == '\n') t.speed.pop_back();
        // The firmware's own answer to the version command.
        d.setup.driver->withBoard(instance, [&t](sim::Firmware& fw) {
            const uint8_t request[1] = {10};
            uint8_t payload[wire::kMaxResponsePayload];
            uint32_t length = 0;
            fw.handle(request, 1, payload, &length);
            t.firmware.assign(reinterpret_cast<const char*>(payload), length);
        });
        d.texts.push_back(t);
    }

    httplib::Server& s = d.server;
    s.new_task_queue = [] { return new BoundedPool(kWorkers, kWaiting); };
    s.set_payload_max_length(web::kMaxActionBytes);
    s.set_read_timeout(5, 0);
    s.set_write_timeout(kWriteTimeoutSeconds, 0);
    s.set_keep_alive_timeout(2);
    s.set_keep_alive_max_count(1000);
    s.set_default_headers({{"Cache-Control", "no-store"},
                           {"X-Content-Type-Options", "nosniff"},
                           {"X-Frame-Options", "DENY"},
                           {"Referrer-Policy", "no-referrer"},
                           {"Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                            "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"}});
    s.set_pre_routing_handler([&d](const httplib::Request& request, httplib::Response& response) {
        if (!d.allowRequest()) {
            response.status = 429;
            response.set_content("too many requests\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        const std::string given = request.has_param("token") ? request.get_param_value("token")
                                                              : request.get_header_value("X-Yarvo-Token");
        if (!sameToken(given, d.token)) {
            response.status = 403;
            response.set_content("forbidden: the URL's token is missing or wrong\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    for (size_t i = 0; i < kWebAssetCount; ++i) {
        const WebAsset& asset = kWebAssets[i];
        s.Get(asset.path, [&d, &asset](const httplib::Request&, httplib::Response& response) {
            std::string body(reinterpret_cast<const char*>(asset.data), asset.size);
            // The page's links carry the token too.
            for (size_t at = body.find("@TOKEN@"); at != std::string::npos; at = body.find("@TOKEN@", at)) {
                body.replace(at, 7, d.token);
            }
            response.set_content(body, asset.type);
        });
    }
    s.Get("/events", [&d](const httplib::Request& q, httplib::Response& r) { d.serveStream(q, r); });
    s.Post("/action", [&d](const httplib::Request& q, httplib::Response& r) { d.serveAction(q, r); });

    const web::WebAddress& a = d.setup.address;
    int port = static_cast<int>(a.port);
    if (a.port == 0) {
        port = s.bind_to_any_port(a.host);
    } else if (!s.bind_to_port(a.host, port)) {
        port = -1;
    }
    if (port <= 0) {
        *error = "--web: cannot listen on " + a.urlHost() + ":" + std::to_string(a.port) +
                 " (address in use, or not an address of this machine)";
        return false;
    }
    d.observer = d.setup.driver->addTransferObserver([&d](const sim::TransferRecord& r) { d.observe(r); });
    d.listener = std::thread([&d] { d.server.listen_after_bind(); });
    d.ticker = std::thread([&d] { d.run(); });
    *url = "http://" + a.urlHost() + ":" + std::to_string(port) + "/?token=" + d.token;
    return true;
}

void WebView::stop() {
    Impl& d = *impl_;
    if (!d.listener.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = true;
    }
    d.changed.notify_all();
    d.setup.driver->removeTransferObserver(d.observer);
    d.server.stop();
    d.listener.join();
    d.ticker.join();
}

}  // namespace yarvo::simtool
