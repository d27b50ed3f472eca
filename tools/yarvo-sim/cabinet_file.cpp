// The cabinet file, read with nlohmann-json.
#include "cabinet_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "numbers.h"
#include "reel_file_format.h"

namespace yarvo::simtool {

namespace {

using nlohmann::json;

constexpr size_t kMaxName = 40;
constexpr size_t kMaxLabel = 12;
constexpr size_t kMaxSymbols = 200;

bool oneLine(const std::string& text, size_t max) {
    if (text.size() > max * 4) {   // UTF-8: at most four bytes a character
        return false;
    }
    size_t characters = 0;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
        characters += (c & 0xC0) != 0x80;
    }
    return characters <= max;
}

bool colour(const std::string& text) {
    if ((text.size() != 4 && text.size() != 7) || text[0] != '#') {
        return false;
    }
    for (size_t i = 1; i < text.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

// Parsing with the place in the file kept for messages.
struct Reader {
    std::string source;
    std::string* error;

    bool fail(const std::string& where, const std::string& what) {
        *error = source + ": " + where + ": " + what;
        return false;
    }

    bool object(const json& value, const std::string& where, std::initializer_list<const char*> keys) {
        if (!value.is_object()) {
            return fail(where, "must be an object");
        }
        for (const auto& item : value.items()) {
            bool known = false;
            for (const char* key : keys) {
                known = known || item.key() == key;
            }
            if (!known && keys.size() > 0) {
                return fail(where, "unknown key \"" + item.key() + "\"");
            }
        }
        return true;
    }

    bool names(const json& value, const std::string& where, unsigned count, const char* what,
               std::map<unsigned, std::string>* out) {
        if (!object(value, where, {})) {
            return false;
        }
        for (const auto& item : value.items()) {
            long long n = 0;
            std::string ignored;
            if (!tools::parseInteger(item.key(), 0, count - 1, &n, &ignored)) {
                return fail(where, "\"" + item.key() + "\" is not " + what + " 0 to " + std::to_string(count - 1));
            }
            if (!item.value().is_string() || !oneLine(item.value().get<std::string>(), kMaxName)) {
                return fail(where + " " + item.key(), "must be a name of one line, at most 40 characters");
            }
            (*out)[static_cast<unsigned>(n)] = item.value().get<std::string>();
        }
        return true;
    }

    bool symbol(const json& value, const std::string& where, SymbolLook* look) {
        if (!object(value, where, {"label", "colour"})) {
            return false;
        }
        if (value.contains("label")) {
            const json& label = value["label"];
            if (!label.is_string() || !oneLine(label.get<std::string>(), kMaxLabel)) {
                return fail(where + " label", "must be text of one line, at most 12 characters");
            }
            look->label = label.get<std::string>();
        }
        if (value.contains("colour")) {
            const json& c = value["colour"];
            if (!c.is_string() || !colour(c.get<std::string>())) {
                return fail(where + " colour", "must be \"#rgb\" or \"#rrggbb\"");
            }
            look->colour = c.get<std::string>();
        }
        return true;
    }

    bool reelTypes(const json& value, std::map<std::string, std::vector<SymbolLook>>* out) {
        if (!object(value, "reel-types", {})) {
            return false;
        }
        for (const auto& item : value.items()) {
            const std::string where = "reel-types " + item.key();
            if (item.key().empty() || !oneLine(item.key(), 64)) {
                return fail("reel-types", "a reel type's name must be one line of 1 to 64 characters");
            }
            if (!object(item.value(), where, {"symbols"})) {
                return false;
            }
            std::vector<SymbolLook> looks;
            if (item.value().contains("symbols")) {
                const json& list = item.value()["symbols"];
                if (!list.is_array() || list.size() > kMaxSymbols) {
                    return fail(where + " symbols", "must be a list of at most 200 symbols");
                }
                for (size_t i = 0; i < list.size(); ++i) {
                    looks.emplace_back();
                    if (!symbol(list[i], where + " symbol " + std::to_string(i), &looks.back())) {
                        return false;
                    }
                }
            }
            (*out)[item.key()] = std::move(looks);
        }
        return true;
    }
};

}  // namespace

const std::vector<SymbolLook>* CabinetFile::symbolsOf(const std::string& type) const {
    for (const auto& entry : symbols) {
        if (format::equalIgnoringAsciiCase(entry.first.c_str(), type.c_str())) {
            return &entry.second;
        }
    }
    return nullptr;
}

bool CabinetFile::parse(const std::string& text, const std::string& source, std::string* error) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error& e) {
        *error = source + ": not JSON: " + e.what();
        return false;
    }
    CabinetFile file;
    Reader reader{source, error};
    if (!reader.object(document, "the file", {"inputs", "outputs", "reel-types"})) {
        return false;
    }
    if (document.contains("inputs") &&
        !reader.names(document["inputs"], "inputs", 24, "an input", &file.inputNames)) {
        return false;
    }
    if (document.contains("outputs") &&
        !reader.names(document["outputs"], "outputs", 64, "an output", &file.outputNames)) {
        return false;
    }
    if (document.contains("reel-types") && !reader.reelTypes(document["reel-types"], &file.symbols)) {
        return false;
    }
    *this = std::move(file);
    return true;
}

bool CabinetFile::load(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= kMaxBytes;
    if (!ok) {
        *error = path + ": not a regular file of at most 1 MiB";
    }
    while (ok) {
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *error = "cannot read " + path + ": " + std::strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (text.size() + static_cast<size_t>(n) > kMaxBytes) {
            *error = path + ": not a regular file of at most 1 MiB";
            ok = false;
        } else {
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return ok && parse(text, path, error);
}

}  // namespace yarvo::simtool
