// The session file: a host program's whole conversation with its boards,
// written as it happens (yarvoctl record, yarvo-sim run --record) to be read
// back (yarvoctl trace --from) and replayed (yarvo-sim replay).
//
// Text, one JSON object a line, format version 1.  Every line is written
// with one write() as soon as its event is over, so a crash keeps all that
// came before, and a file cut short still reads up to its last whole line.
// The first line is the header:
//
//   {"format":"yarvo-session","version":1,"project":"1.2.0","library":"14",
//    "recorder":"yarvoctl record","started":"2026-12-08T13:21:04.512337Z",
//    "boards":[{"board":0,"product":"K-Mora Yarvo Board\n","speed":"12\n","node":0}]}
//
// "boards" are the driver instances the recorder found when it started:
// their product and speed texts (null when the attribute does not exist)
// and what opening the node gave (0, or the errno).  Then one event a line,
// in the order they happened, each with its time since the start in
// microseconds ("t") and its board instance:
//
//   {"event":"attribute","t":702,"board":0,"name":"product","text":"K-Mora Yarvo Board\n"}
//   {"event":"attribute","t":731,"board":1,"name":"product","errno":2}
//   {"event":"open","t":760,"board":0,"errno":0}
//   {"event":"transfer","t":815,"board":0,"request":"2f02","result":0,
//    "response_length":11,"response":"2f0000600000042e00c0"}
//   {"event":"transfer","t":930,"board":0,"request":"14","result":-1,"errno":19}
//   {"event":"end","t":5023112,"status":0}
//
//  * attribute: a read of /sys/class/Kmora/Kmora_N/device/<name>: the text
//    read ("hex" instead of "text" when it is not UTF-8), or the errno.
//  * open: an opening of /dev/Kmora_N: 0, or the errno.
//  * transfer: one ioctl 0xC2108100.  "request" is the buffer's first
//    request-length bytes (command byte and payload, at most 512) in hex;
//    "result" what the ioctl returned, with "errno" when it failed;
//    otherwise "response_length" as the driver set it and "response" the
//    buffer's first response-length bytes (at most 512).  A block whose
//    fixed words are not 2, 6 and 257, or whose request length is not the
//    bytes given, carries "block":[word0,word1,request length,offered].
//  * end: the program's exit status when it ended.
//
// Readers refuse a newer version and any event they do not know, and pass
// over members they do not know.
#ifndef YARVO_TOOLS_SESSION_H
#define YARVO_TOOLS_SESSION_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "decode.h"
#include "wire.h"

namespace yarvo::session {

constexpr unsigned kFormatVersion = 1;
constexpr char kFormatName[] = "yarvo-session";
constexpr size_t kMaxLineBytes = 32768;     // longer lines are refused
constexpr size_t kMaxTextBytes = 4096;      // an attribute text: one page, as sysfs gives

struct Board {
    unsigned instance = 0;
    bool hasProduct = false, hasSpeed = false;
    std::string product, speed;
    int nodeError = 0;                       // opening the node: 0, or the errno
};

struct Header {
    unsigned version = kFormatVersion;
    std::string project, library, recorder, started;
    std::vector<Board> boards;
};

struct Event {
    enum Kind : uint8_t { Attribute, Open, Transfer, End };
    Kind kind = Transfer;
    uint8_t instance = 0;
    bool product = false;                    // attribute: product, else speed
    uint32_t line = 0;                       // its line in the file (from 1)
    uint64_t micros = 0;                     // since the start
    int result = 0;                          // transfer: the ioctl's return; end: the exit status
    int error = 0;                           // errno of a failed read, opening or transfer
    uint32_t word0 = wire::kBlockWord0, word1 = wire::kBlockWord1;
    uint32_t requestLength = 0, responseOffered = wire::kResponseOffered;
    uint32_t responseLength = 0;
    std::string request;                     // transfer: command byte and payload
    std::string response;                    // transfer: response bytes; attribute: the text

    const uint8_t* requestBytes() const { return reinterpret_cast<const uint8_t*>(request.data()); }
    const uint8_t* responseBytes() const { return reinterpret_cast<const uint8_t*>(response.data()); }
};

struct Session {
    Header header;
    std::vector<Event> events;
    uint32_t lines = 0;                      // whole lines read, the header included
    bool cut = false;                        // a last line cut short followed them (left out)
    bool ended = false;                      // an end event is there
};

// ---------------------------------------------------------------- writing
// Each returns one whole line, line end included.

std::string headerLine(const Header& header);
std::string attributeLine(uint64_t micros, unsigned instance, bool product, int error, const std::string& text);
std::string openLine(uint64_t micros, unsigned instance, int error);
// `request` is the block as the host sent it, `answer` as the ioctl left it.
std::string transferLine(uint64_t micros, unsigned instance, const wire::TransferBlock& request,
                         const wire::TransferBlock& answer, int result, int error);
std::string endLine(uint64_t micros, int status);

// Writes a line with one write() (retried only for what a signal cut
// short), so that lines of several processes appending to one file never
// mix.  False with errno set.
bool appendLine(int fd, const std::string& line);

// The project's version ("1.2.0"), for headers.
const char* projectVersion();

// The time of day now as the header writes it ("2026-12-08T13:21:04.512337Z").
std::string startedNow();

// ---------------------------------------------------------------- reading

// Reads a session.  A last line without its line end that does not parse is
// taken as cut short: left out, and `cut` set.  False with "LINE: why" for
// anything else that is not a session of a version up to kFormatVersion.
bool readSession(std::istream& in, Session* session, std::string* error);
// The same from a file; the message then reads "PATH:LINE: why".
bool loadSession(const std::string& path, Session* session, std::string* error);

// A text as the trace shows it: quoted, with JSON's escapes (hex in
// brackets when it is not UTF-8).
std::string quotedText(const std::string& text);

// A transfer event for the decoder; the result points into the event.
decode::Exchange exchangeOf(const Event& event);

// Whether a command changes the board's state (outputs, lamps, reel set-up
// and motion, synchronisation, tamper reset, and any code the library does
// not send), as opposed to one that only reads it (inputs, changed inputs,
// reel status, power status, firmware version).
bool changesState(uint8_t command);

}  // namespace yarvo::session

#endif
