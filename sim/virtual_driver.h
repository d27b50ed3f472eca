// The virtual kernel driver: sixteen instances, each absent or carrying a
// virtual board with its sysfs texts and device node; the transfer entry
// point that the transports call with the 528-byte block; a log of every
// transfer; fault injection; the clock that moves the reels.
//
// One process-wide driver (driver()) is what the transports serve.  All its
// operations are thread-safe.
#ifndef YARVO_SIM_VIRTUAL_DRIVER_H
#define YARVO_SIM_VIRTUAL_DRIVER_H

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "firmware.h"
#include "../lib/wire.h"

namespace yarvo::sim {

constexpr unsigned kInstances = 16;
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

// A one-shot fault applied to the next transfer of an instance.
struct Fault {
    enum Kind { Errno, ResponseLength, Echo, Status, Payload } kind = Errno;
    int value = 0;                  // errno, length, echo byte or status byte
    std::vector<uint8_t> payload;   // for Payload: replaces the response payload
};

class VirtualDriver {
public:
    VirtualDriver();

    // Back to nothing: every instance absent, no faults, empty log, manual
    // clock at 0, logging on.
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

    // Runs f with the instance's board under the driver's lock.
    template <class F> auto withBoard(unsigned instance, F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(*boards_.at(instance).firmware);
    }

    // Entry points for the transports.
    // Text of a sysfs attribute path, or false when it does not exist.
    bool readAttribute(const char* path, std::string* text);
    // Instance of a "/dev/Kmora_N" path, or -1.
    static int nodeInstance(const char* path);
    // Opening a node: 0, or an errno value.
    int openNode(unsigned instance);
    // One transfer: 0 with the response in the block, or an errno value.
    int transfer(unsigned instance, wire::TransferBlock* block);

    // Faults, queued per instance and used up one per transfer.
    void injectFault(unsigned instance, const Fault& fault, unsigned times = 1);
    void failNext(unsigned instance, int err, unsigned times = 1);
    void clearFaults();

    // Transfer log.
    std::vector<TransferRecord> log() const;
    std::vector<TransferRecord> log(unsigned instance) const;
    size_t transferCount() const;
    void clearLog();
    void setLogging(bool on);
    // Transfer observer: with one set, each transfer's record, bytes
    // included, is handed to it as the transfer completes, whether or not
    // the log keeps records (a long run streams its transfers to a file this
    // way).  It runs under the driver's lock, so calls come one at a time in
    // transfer order; it must not call the driver.  Empty: none.  reset()
    // removes it.
    using TransferObserver = std::function<void(const TransferRecord&)>;
    void setTransferObserver(TransferObserver observer);

    // Clock.  Manual by default; advance() moves every board's reels.  With
    // real time on, each transfer first brings the boards up to the wall clock.
    void advance(std::chrono::microseconds by);
    uint64_t nowMicros() const;
    void useRealTime(bool on);
    void syncToWallClock();

private:
    struct Instance {
        bool present = false;
        bool plugged = true;
        bool nodeOpens = true;
        std::string product = kProductText;
        std::string speed = kFullSpeedText;
        std::unique_ptr<Firmware> firmware;
        std::deque<Fault> faults;
    };
    mutable std::mutex mutex_;
    std::array<Instance, kInstances> boards_;
    std::vector<TransferRecord> log_;
    bool logging_ = true;
    TransferObserver observer_;
    uint64_t now_ = 0;
    bool realTime_ = false;
    std::chrono::steady_clock::time_point wallBase_;
    uint64_t wallBaseMicros_ = 0;
    void advanceLocked(uint64_t micros);
};

// The driver that the transports of this process serve.
VirtualDriver& driver();

}  // namespace yarvo::sim

#endif
