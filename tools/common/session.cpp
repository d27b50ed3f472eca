#include "session.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include <nlohmann/json.hpp>

namespace yarvo::session {
namespace {

using Json = nlohmann::ordered_json;

constexpr uint32_t kBlockBytes = wire::kBufferSize;
constexpr int kMaxErrno = 4095;

std::string toHex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text(length * 2, '0');
    for (size_t i = 0; i < length; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool fromHex(const std::string& text, std::string* bytes) {
    if (text.size() % 2 != 0) return false;
    bytes->resize(text.size() / 2);
    for (size_t i = 0; i < bytes->size(); ++i) {
        const int high = hexDigit(text[2 * i]), low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        (*bytes)[i] = static_cast<char>(high << 4 | low);
    }
    return true;
}

uint32_t clampToBlock(uint32_t length) { return length < kBlockBytes ? length : kBlockBytes; }

Json event(const char* kind, uint64_t micros, unsigned instance) {
    Json line = Json::object();
    line["event"] = kind;
    line["t"] = micros;
    line["board"] = instance;
    return line;
}

std::string finish(const Json& line) {
    // Texts that are not UTF-8 never get here as strings (attributeLine
    // writes them as hex), so dump() cannot throw.
    return line.dump() + "\n";
}

bool isUtf8(const std::string& text) {
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::exception&) {
        return false;
    }
}

// ---------------------------------------------------------------- reading

class LineError {
public:
    explicit LineError(std::string why) : why_(std::move(why)) {}
    const std::string& why() const { return why_; }

private:
    std::string why_;
};

const Json& member(const Json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end()) throw LineError(std::string("\"") + name + "\" is missing");
    return *it;
}

uint64_t unsignedMember(const Json& object, const char* name, uint64_t max) {
    const Json& value = member(object, name);
    if (!value.is_number_unsigned() || value.get<uint64_t>() > max) {
        throw LineError(std::string("\"") + name + "\" is not a whole number from 0 to " + std::to_string(max));
    }
    return value.get<uint64_t>();
}

int64_t integerMember(const Json& object, const char* name, int64_t min, int64_t max) {
    const Json& value = member(object, name);
    const bool whole = value.is_number_integer();
    if (!whole || (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(max)) ||
        (!value.is_number_unsigned() && (value.get<int64_t>() < min || value.get<int64_t>() > max))) {
        throw LineError(std::string("\"") + name + "\" is not a whole number from " + std::to_string(min) + " to " +
                        std::to_string(max));
    }
    return value.get<int64_t>();
}

const std::string& stringMember(const Json& object, const char* name) {
    const Json& value = member(object, name);
    if (!value.is_string()) throw LineError(std::string("\"") + name + "\" is not a string");
    return value.get_ref<const std::string&>();
}

// Hex bytes of a member, exactly `expected` of them.
std::string bytesMember(const Json& object, const char* name, size_t expected) {
    const std::string& text = stringMember(object, name);
    if (text.size() > 2 * kBlockBytes) {
        throw LineError(std::string("\"") + name + "\" holds more than the block's " + std::to_string(kBlockBytes) +
                        " bytes");
    }
    std::string bytes;
    if (!fromHex(text, &bytes)) throw LineError(std::string("\"") + name + "\" is not hex bytes");
    if (bytes.size() != expected) {
        throw LineError(std::string("\"") + name + "\" holds " + std::to_string(bytes.size()) + " bytes, " +
                        std::to_string(expected) + " expected");
    }
    return bytes;
}

// An attribute text: "text", or "hex" for one that is not UTF-8.
std::string textMember(const Json& object, const char* textName, const char* hexName) {
    std::string text;
    if (object.contains(hexName)) {
        if (!fromHex(stringMember(object, hexName), &text)) {
            throw LineError(std::string("\"") + hexName + "\" is not hex bytes");
        }
    } else {
        text = stringMember(object, textName);
    }
    if (text.size() > kMaxTextBytes) {
        throw LineError("the text is longer than " + std::to_string(kMaxTextBytes) + " bytes");
    }
    return text;
}

int errnoMember(const Json& object, const char* name) {
    return static_cast<int>(integerMember(object, name, 0, kMaxErrno));
}

// A board's attribute text: a string, null when there is none, or hex in
// "<name>_hex" when it is not UTF-8.
void readBoardText(const Json& board, const char* name, bool* has, std::string* text) {
    const std::string hexName = std::string(name) + "_hex";
    *has = board.contains(hexName) || !member(board, name).is_null();
    if (*has) *text = textMember(board, name, hexName.c_str());
}

// The same written: the text where it is UTF-8, else null and the hex.
void writeBoardText(Json& board, const char* name, bool has, const std::string& text) {
    if (has && !isUtf8(text)) {
        board[name] = nullptr;
        board[std::string(name) + "_hex"] = toHex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    } else if (has) {
        board[name] = text;
    } else {
        board[name] = nullptr;
    }
}

Header readHeader(const Json& line) {
    if (!line.is_object() || !line.contains("format") || !line["format"].is_string() ||
        line["format"].get<std::string>() != kFormatName) {
        throw LineError(std::string("not a session file: the first line is no \"") + kFormatName + "\" header");
    }
    Header header;
    header.version = static_cast<unsigned>(unsignedMember(line, "version", 1u << 20));
    if (header.version < 1 || header.version > kFormatVersion) {
        throw LineError("format version " + std::to_string(header.version) + " is not one this program reads (1 to " +
                        std::to_string(kFormatVersion) + ")");
    }
    header.project = stringMember(line, "project");
    header.library = stringMember(line, "library");
    header.recorder = stringMember(line, "recorder");
    header.started = stringMember(line, "started");
    const Json& boards = member(line, "boards");
    if (!boards.is_array() || boards.size() > 16) throw LineError("\"boards\" is not a list of at most 16 boards");
    unsigned seen = 0;
    for (const Json& entry : boards) {
        if (!entry.is_object()) throw LineError("a board is not an object");
        Board board;
        board.instance = static_cast<unsigned>(unsignedMember(entry, "board", 15));
        if ((seen >> board.instance) & 1u) throw LineError("board " + std::to_string(board.instance) + " twice");
        seen |= 1u << board.instance;
        readBoardText(entry, "product", &board.hasProduct, &board.product);
        readBoardText(entry, "speed", &board.hasSpeed, &board.speed);
        board.nodeError = errnoMember(entry, "node");
        header.boards.push_back(std::move(board));
    }
    return header;
}

Event readEvent(const Json& line) {
    if (!line.is_object()) throw LineError("not a JSON object");
    const std::string& kind = stringMember(line, "event");
    Event e;
    e.micros = unsignedMember(line, "t", UINT64_MAX);
    if (kind == "end") {
        e.kind = Event::End;
        e.result = static_cast<int>(integerMember(line, "status", -1, 255));
        return e;
    }
    e.instance = static_cast<uint8_t>(unsignedMember(line, "board", 15));
    if (kind == "attribute") {
        e.kind = Event::Attribute;
        const std::string& name = stringMember(line, "name");
        if (name != "product" && name != "speed") throw LineError("\"name\" is neither product nor speed");
        e.product = name == "product";
        if (line.contains("errno")) {
            e.error = errnoMember(line, "errno");
        }
        if (e.error == 0) e.response = textMember(line, "text", "hex");
    } else if (kind == "open") {
        e.kind = Event::Open;
        e.error = errnoMember(line, "errno");
    } else if (kind == "transfer") {
        e.kind = Event::Transfer;
        const std::string& request = stringMember(line, "request");
        e.requestLength = static_cast<uint32_t>(request.size() / 2);
        if (line.contains("block")) {
            const Json& block = line["block"];
            if (!block.is_array() || block.size() != 4) throw LineError("\"block\" is not four words");
            for (const Json& word : block) {
                if (!word.is_number_unsigned() || word.get<uint64_t>() > UINT32_MAX) {
                    throw LineError("\"block\" is not four words");
                }
            }
            e.word0 = block[0].get<uint32_t>();
            e.word1 = block[1].get<uint32_t>();
            e.requestLength = block[2].get<uint32_t>();
            e.responseOffered = block[3].get<uint32_t>();
        }
        e.request = bytesMember(line, "request", clampToBlock(e.requestLength));
        e.result = static_cast<int>(integerMember(line, "result", INT32_MIN, INT32_MAX));
        if (e.result != 0) {
            e.error = errnoMember(line, "errno");
            if (e.error == 0) throw LineError("a failed transfer with errno 0");
        } else {
            e.responseLength = static_cast<uint32_t>(unsignedMember(line, "response_length", UINT32_MAX));
            e.response = bytesMember(line, "response", clampToBlock(e.responseLength));
        }
    } else {
        throw LineError("unknown event \"" + kind + "\"");
    }
    return e;
}

// Reads one line of at most kMaxLineBytes into `buffer` (which holds two
// bytes more), its length in *length.  0: no more; 1: a whole line; 2: a
// last line without its line end; -1: too long.
int nextLine(std::istream& in, std::vector<char>& buffer, size_t* length) {
    in.getline(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const size_t got = static_cast<size_t>(in.gcount());
    if (in.bad()) return 0;
    if (in.eof()) {
        *length = got;
        return got == 0 ? 0 : got > kMaxLineBytes ? -1 : 2;
    }
    if (in.fail()) return -1;   // the buffer filled up before the line end
    *length = got - 1;          // without the line end, which was taken too
    return 1;
}

}  // namespace

// ---------------------------------------------------------------- writing

std::string headerLine(const Header& header) {
    Json line = Json::object();
    line["format"] = kFormatName;
    line["version"] = header.version;
    line["project"] = header.project;
    line["library"] = header.library;
    line["recorder"] = header.recorder;
    line["started"] = header.started;
    Json boards = Json::array();
    for (const Board& b : header.boards) {
        Json entry = Json::object();
        entry["board"] = b.instance;
        writeBoardText(entry, "product", b.hasProduct, b.product);
        writeBoardText(entry, "speed", b.hasSpeed, b.speed);
        entry["node"] = b.nodeError;
        boards.push_back(std::move(entry));
    }
    line["boards"] = std::move(boards);
    return finish(line);
}

std::string attributeLine(uint64_t micros, unsigned instance, bool product, int error, const std::string& text) {
    Json line = event("attribute", micros, instance);
    line["name"] = product ? "product" : "speed";
    if (error != 0) {
        line["errno"] = error;
        return finish(line);
    }
    const std::string kept = text.substr(0, kMaxTextBytes);
    if (isUtf8(kept)) {
        line["text"] = kept;
    } else {
        line["hex"] = toHex(reinterpret_cast<const uint8_t*>(kept.data()), kept.size());
    }
    return finish(line);
}

std::string openLine(uint64_t micros, unsigned instance, int error) {
    Json line = event("open", micros, instance);
    line["errno"] = error;
    return finish(line);
}

std::string transferLine(uint64_t micros, unsigned instance, const wire::TransferBlock& request,
                         const wire::TransferBlock& answer, int result, int error) {
    Json line = event("transfer", micros, instance);
    const uint32_t sent = clampToBlock(request.requestLength);
    if (request.word0 != wire::kBlockWord0 || request.word1 != wire::kBlockWord1 ||
        request.responseLength != wire::kResponseOffered || sent != request.requestLength) {
        line["block"] = {request.word0, request.word1, request.requestLength, request.responseLength};
    }
    line["request"] = toHex(request.buffer, sent);
    line["result"] = result;
    if (result != 0) {
        line["errno"] = error > 0 && error <= kMaxErrno ? error : EIO;
    } else {
        line["response_length"] = answer.responseLength;
        line["response"] = toHex(answer.buffer, clampToBlock(answer.responseLength));
    }
    return finish(line);
}

std::string endLine(uint64_t micros, int status) {
    Json line = Json::object();
    line["event"] = "end";
    line["t"] = micros;
    line["status"] = status;
    return finish(line);
}

bool appendLine(int fd, const std::string& line) {
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(line.size())) return true;
    if (n >= 0) errno = ENOSPC;
    return false;
}

const char* projectVersion() { return YARVO_PROJECT_VERSION; }

std::string startedNow() {
    timeval now;
    ::gettimeofday(&now, nullptr);
    const time_t seconds = now.tv_sec;
    tm utc;
    ::gmtime_r(&seconds, &utc);
    char text[48];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%06ldZ", static_cast<long>(now.tv_usec));
    return text;
}

// ---------------------------------------------------------------- reading

bool readSession(std::istream& in, Session* session, std::string* error) {
    *session = Session();
    std::vector<char> buffer(kMaxLineBytes + 2);
    size_t length = 0;
    for (uint32_t number = 1;; ++number) {
        const int got = nextLine(in, buffer, &length);
        if (got == 0) break;
        if (got < 0) {
            *error = std::to_string(number) + ": the line is longer than " + std::to_string(kMaxLineBytes) + " bytes";
            return false;
        }
        Json line = Json::parse(buffer.data(), buffer.data() + length, nullptr, false);
        if (line.is_discarded()) {
            if (got == 2) {   // cut short while it was being written
                session->cut = true;
                break;
            }
            *error = std::to_string(number) + ": not a JSON object (bad JSON)";
            return false;
        }
        try {
            if (number == 1) {
                session->header = readHeader(line);
            } else {
                if (session->ended) throw LineError("an event after the end");
                Event e = readEvent(line);
                e.line = number;
                session->ended = e.kind == Event::End;
                session->events.push_back(std::move(e));
            }
        } catch (const LineError& bad) {
            *error = std::to_string(number) + ": " + bad.why();
            return false;
        }
        session->lines = number;
    }
    if (session->lines == 0) {
        *error = session->cut ? "1: the header is cut short" : "1: the file is empty";
        return false;
    }
    return true;
}

bool loadSession(const std::string& path, Session* session, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!readSession(in, session, error)) {
        *error = path + ":" + *error;
        return false;
    }
    if (in.bad()) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string quotedText(const std::string& text) {
    if (!isUtf8(text)) return "[" + decode::hex(reinterpret_cast<const uint8_t*>(text.data()), text.size()) + "]";
    return Json(text).dump();
}

decode::Exchange exchangeOf(const Event& event) {
    decode::Exchange e;
    e.command = event.request.empty() ? 0 : event.requestBytes()[0];
    e.request = event.request.empty() ? nullptr : event.requestBytes() + 1;
    e.requestLength = event.request.empty() ? 0 : event.request.size() - 1;
    e.word0 = event.word0;
    e.word1 = event.word1;
    e.responseOffered = event.responseOffered;
    if (event.result != 0) {
        e.error = event.error;
        return e;
    }
    e.responseLength = event.responseLength;
    e.response = event.responseBytes();
    return e;
}

bool changesState(uint8_t command) {
    switch (command) {
    case wire::kCmdFirmwareVersion:
    case wire::kCmdPowerStatus:
    case wire::kCmdInputReport:
    case wire::kCmdChangedInputs:
    case wire::kCmdReelStatus:
        return false;
    default:
        return true;
    }
}

}  // namespace yarvo::session
