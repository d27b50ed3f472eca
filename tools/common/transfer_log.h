// The virtual board's transfer log as text: each transfer the virtual driver
// served, one line, decoded by the same decoder as the transfer tracer
// (`yarvoctl trace`), so that the two print a transfer alike:
//
//   [    0.019157] Kmora_0 CONFIGURE-REELS count=3 param16=96 ... -> ok
//
// The time stamp is the boards' clock in seconds; when the clock follows the
// wall clock (yarvo-sim, the preload transport) that is the time since the
// boards came up.
#ifndef YARVO_TOOLS_TRANSFER_LOG_H
#define YARVO_TOOLS_TRANSFER_LOG_H

#include <cstdint>
#include <string>

#include "decode.h"
#include "virtual_driver.h"

namespace yarvo::decode {

// The exchange of a logged transfer.  `response` receives the response as
// the host saw it (echo, status, payload, zero-filled to the buffer size);
// the result points into the record and into `response`.
Exchange fromRecord(const sim::TransferRecord& record, uint8_t (&response)[wire::kBufferSize]);

// "Kmora_0 SPIN reel=2 mode=-2 steps=118 -> ok": board and decoded transfer.
std::string describeRecord(const sim::TransferRecord& record);

// The whole log line: time stamp, describeRecord, line end.
std::string logLine(const sim::TransferRecord& record);

// Streams every transfer `driver` serves from now on to the file `path`,
// one logLine each, appended with one write per line (so that several
// processes can share the file).  With `truncate` the file is emptied
// first.  False with a message when the file cannot be opened.  The file
// stays open for the rest of the process.
bool streamTransferLog(sim::VirtualDriver& driver, const std::string& path, bool truncate,
                       std::string* error);

}  // namespace yarvo::decode

#endif
