// The virtual kernel driver: sixteen instances, each absent or carrying a
// virtual board with its sysfs texts and device node; the transfer entry
// point that the transports call with the 528-byte block; a log of every
// transfer; fault injection; the clock that moves the reels.
//
// One process-wide driver (driver()) is what the transports serve.  All its
// operations are thread-safe.  Each board has its own lock, held only for
// work of bounded size: no file or socket I/O happens under it, the reels'
// motion since the board was last served is worked out in closed form
// (reel.h), and faults are counted, not queued one by one.  So a transfer to
// one board never waits on another board, on a log's reader or on a view.
#ifndef YARVO_SIM_VIRTUAL_DRIVER_H
#define YARVO_SIM_VIRTUAL_DRIVER_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board_fault.h"
#include "clock.h"
#include "firmware.h"
#include "../lib/wire.h"

namespace yarvo::sim {

constexpr unsigned kInstances = 16;
constexpr unsigned kBoardReels = 8;
constexpr const char* kProductText = "K-Mora Yarvo Board\n";
constexpr const char* kFullSpeedText = "12\n";
constexpr const char* kHighSpeedText = "480\n";

// One transfer as the driver saw it.
struct TransferRecord {
    unsigned instance = 0;
    uint64_t timeMicros = 0;
    // Request side.
    uint32_t word0 = 0, word1 = 0, requestLength = 0, responseOffered = 0;
    uint8_t command = 0;
    std::vector<uint8_t> payload;   // request payload (requestLength - 1 bytes)
    // Outcome.
    int error = 0;                  // errno the request failed with, 0 on success
    uint32_t responseLength = 0;    // as placed in the block
    uint8_t echo = 0, status = 0;   // response bytes 0 and 1
    std::vector<uint8_t> response;  // response payload
};

// A fault applied to the next transfers of an instance.
struct Fault {
    enum Kind { Errno, ResponseLength, Echo, Status, Payload } kind = Errno;
    int value = 0;                  // errno, length, echo byte or status byte
    std::vector<uint8_t> payload;   // for Payload: replaces the response payload
};

// A board as a view shows it, copied in one go (fixed size, no allocation).
struct BoardSnapshot {
    unsigned instance = 0;
    bool present = false;
    bool plugged = false;
    uint64_t timeMicros = 0;        // board time the snapshot shows
    uint32_t inputs = 0;            // as the input report reads them (address on 16-18)
    uint16_t changedInputs = 0;     // the latch, not cleared by looking
    uint64_t outputs = 0;
    uint8_t power = 0;
    uint64_t transfers = 0;         // transfers the board has served
    uint64_t pendingFaults = 0;     // faulted transfers still to come
    ReelSnapshot reels[kBoardReels];
    char speed[16] = {};            // the speed attribute's text, without its line end (cut to 15 bytes)
};

// Stands between the boards and their host: every sysfs read, node opening
// and transfer passes through it after the board has served it, and what it
// returns is what the host gets.  A session recorder writes each down as it
// is; a replay answers from its recording instead, while the board (which
// the views show) still carries out every command.  Called on the host's
// thread (the FUSE thread on the kernel path) outside the board's lock, so
// it may take its time; it may use withBoard() but not the transports'
// entry points.
class Interceptor {
public:
    virtual ~Interceptor() = default;
    // A read of the product (or speed) attribute: whether it exists and its
    // text as the board has them; returns whether the host finds it, with
    // the text it reads in `text`.
    virtual bool attribute(unsigned instance, bool product, bool found, std::string* text) = 0;
    // A node opening: the board's errno (0: it opens); returns the host's.
    virtual int open(unsigned instance, int error) = 0;
    // A transfer: `request` is the block as the host sent it, `block` as the
    // board answered it, `error` the board's errno (0: answered); returns
    // the host's errno, with the host's answer in `block`.
    virtual int transfer(unsigned instance, const wire::TransferBlock& request, wire::TransferBlock* block,
                         int error) = 0;
};

class VirtualDriver {
public:
    // Faults are kept as runs of one fault with a count; injecting the same
    // fault again only adds to the count.  At most this many different runs
    // wait at a time.
    static constexpr size_t kMaxFaultRuns = 64;

    VirtualDriver();

    // Back to nothing: every instance absent, no faults, empty log, manual
    // clock at 0, logging on, no observer.
    void reset();

    // Instances.
    void plug(unsigned instance);                  // present with a fresh board and default texts
    void remove(unsigned instance);                // absent
    bool present(unsigned instance) const;
    void setProduct(unsigned instance, const std::string& text);
    void setSpeed(unsigned instance, const std::string& text);
    void setNodeOpens(unsigned instance, bool opens);  // false: open fails with EACCES
    void unplug(unsigned instance);                // node and attributes vanish, requests fail with ENODEV
    void replug(unsigned instance);                // back, with the same board
    bool pluggedIn(unsigned instance) const;

    // Runs f with the instance's board under its lock, the board brought up
    // to the clock first.  f must be quick and must not call the driver.
    template <class F> auto withBoard(unsigned instance, F f) {
        Instance& b = boards_.at(instance);
        std::lock_guard<std::mutex> lock(b.mutex);
        catchUp(b, clock_.now());
        return f(*b.firmware);
    }

    // The board's state now, for views.  Never waits for the board: while a
    // transfer holds it, the latest snapshot taken is given instead.  An
    // instance above 15 gives an empty snapshot.
    BoardSnapshot snapshot(unsigned instance);

    // Entry points for the transports.
    // Text of a sysfs attribute path, or false when it does not exist.
    bool readAttribute(const char* path, std::string* text);
    // Instance of a "/dev/Kmora_N" path, or -1.
    static int nodeInstance(const char* path);
    // Opening a node: 0, or an errno value.
    int openNode(unsigned instance);
    // One transfer: 0 with the response in the block, or an errno value.
    int transfer(unsigned instance, wire::TransferBlock* block);

    // Faults for the next `times` transfers of an instance, after those
    // injected before.  False (nothing injected) for an instance above 15,
    // an errno of 0 or below, or when kMaxFaultRuns different runs wait.
    bool injectFault(unsigned instance, const Fault& fault, uint64_t times = 1);
    bool failNext(unsigned instance, int err, uint64_t times = 1);
    uint64_t pendingFaults(unsigned instance) const;
    size_t pendingFaultRuns(unsigned instance) const;
    void clearFaults();

    // Reel and power faults at a time on the boards' clock (yarvo-sim
    // --fault): each happens when the board's time reaches it, at exactly
    // that time however late the board is next served, after those
    // scheduled for the same time before it.  A time already past happens
    // when the board is next served.  False (nothing scheduled) for an
    // instance above 15 or when kMaxScheduledFaults wait.  Plugging a board
    // in afresh forgets its schedule.
    static constexpr size_t kMaxScheduledFaults = 256;
    bool scheduleFault(unsigned instance, uint64_t atMicros, const BoardFault& fault);
    size_t scheduledFaults(unsigned instance) const;

    // Transfer log (for tests: it keeps every record until cleared).
    std::vector<TransferRecord> log() const;
    std::vector<TransferRecord> log(unsigned instance) const;
    size_t transferCount() const;
    void clearLog();
    void setLogging(bool on);
    // Transfer observer: with one set, each transfer's record, bytes
    // included, is handed to it as the transfer completes, whether or not
    // the log keeps records (a long run streams its transfers to a file this
    // way).  It is called on the transferring thread after the board's lock
    // is released, so calls for different boards may come at once; it must
    // not block (hand the record to a queue, as the transfer log does).
    // Empty: none.  reset() removes it.
    using TransferObserver = std::function<void(const TransferRecord&)>;
    void setTransferObserver(TransferObserver observer);
    // The interceptor (record or replay of a session); null: none.
    // reset() removes it.
    void setInterceptor(std::shared_ptr<Interceptor> interceptor);
    // More observers beside that one (a view's list of recent transfers, a
    // recorder), each called the same way.  add gives a handle for remove;
    // reset() removes them too.
    unsigned addTransferObserver(TransferObserver observer);
    void removeTransferObserver(unsigned handle);

    // Clock.  Manual by default; advance() moves it, and every board follows
    // when it is next served or looked at.  With real time on, the clock
    // follows the wall clock (BoardClock).
    void advance(std::chrono::microseconds by);
    uint64_t nowMicros() const;
    void useRealTime(bool on);
    // Brings every board up to the clock now (views do, 25 times a second).
    void syncToWallClock();
    BoardClock& clock() { return clock_; }

private:
    struct FaultRun {
        Fault fault;
        uint64_t count = 0;
    };
    struct Instance {
        mutable std::mutex mutex;
        bool present = false;
        bool plugged = true;
        bool nodeOpens = true;
        std::string product = kProductText;
        std::string speed = kFullSpeedText;
        std::unique_ptr<Firmware> firmware;
        uint64_t time = 0;              // board time the firmware has reached
        uint64_t transfers = 0;
        std::deque<FaultRun> faults;
        std::vector<ScheduledFault> schedule;   // by time
        std::mutex snapshotMutex;       // guards `last` alone
        BoardSnapshot last;
        void clear(uint64_t now);       // absent, fresh board, no faults
    };
    std::array<Instance, kInstances> boards_;
    BoardClock clock_;
    mutable std::mutex logMutex_;
    std::vector<TransferRecord> log_;
    std::atomic<bool> logging_{true};
    // Every observer, read and replaced atomically; changes take turns on
    // observerMutex_.
    struct Observers {
        std::shared_ptr<const TransferObserver> primary;
        std::vector<std::pair<unsigned, std::shared_ptr<const TransferObserver>>> more;
    };
    std::shared_ptr<const Observers> observers_;
    std::mutex observerMutex_;
    unsigned nextObserver_ = 1;
    std::atomic<bool> observing_{false};
    std::shared_ptr<Interceptor> interceptor_;            // read and written atomically
    std::atomic<bool> intercepting_{false};
    std::shared_ptr<Interceptor> interceptor() const;
    template <class Change> void changeObservers(Change change);

    void catchUp(Instance& b, uint64_t now);
    int serve(Instance& b, wire::TransferBlock* block);
    void deliver(TransferRecord&& record);
};

// The driver that the transports of this process serve.
VirtualDriver& driver();

}  // namespace yarvo::sim

#endif
