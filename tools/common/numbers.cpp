#include "numbers.h"

#include <climits>
#include <cstdio>

namespace yarvo::tools {

namespace {

int digitValue(char c, unsigned base) {
    int d = -1;
    if (c >= '0' && c <= '9') {
        d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
    }
    return d >= 0 && static_cast<unsigned>(d) < base ? d : -1;
}

// Digits of `base` from `begin` to the end, accumulated without passing
// `limit`; false on anything else or beyond the limit.
bool digits(const std::string& text, size_t begin, unsigned base, unsigned long long limit,
            unsigned long long* value, bool* tooLarge) {
    *tooLarge = false;
    if (begin >= text.size()) {
        return false;
    }
    unsigned long long v = 0;
    for (size_t i = begin; i < text.size(); ++i) {
        const int d = digitValue(text[i], base);
        if (d < 0) {
            return false;
        }
        if (v > (limit - static_cast<unsigned>(d)) / base) {
            *tooLarge = true;   // keep reading: a later non-digit makes it "not a number"
            v = limit;
            continue;
        }
        v = v * base + static_cast<unsigned>(d);
    }
    *value = v;
    return true;
}

std::string rangeText(long long min, long long max) {
    return std::to_string(min) + " to " + std::to_string(max);
}

bool hasHexPrefix(const std::string& text, size_t at) {
    return text.size() > at + 1 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X');
}

}  // namespace

bool parseInteger(const std::string& text, long long min, long long max, long long* value, std::string* error) {
    size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        at = 1;
    }
    const bool hex = hasHexPrefix(text, at);
    unsigned long long magnitude = 0;
    bool tooLarge = false;
    // Anything beyond 2^63 is out of every range a caller can give.
    if (!digits(text, hex ? at + 2 : at, hex ? 16 : 10, 1ULL << 63, &magnitude, &tooLarge)) {
        *error = "\"" + text + "\" is not a number (decimal, or hexadecimal after 0x)";
        return false;
    }
    constexpr unsigned long long kTop = 1ULL << 63;
    bool inRange = !tooLarge && (negative || magnitude < kTop);
    long long v = 0;
    if (inRange) {
        v = !negative ? static_cast<long long>(magnitude)
                      : (magnitude == kTop ? LLONG_MIN : -static_cast<long long>(magnitude));
    }
    if (!inRange || v < min || v > max) {
        *error = "\"" + text + "\" is out of range (" + rangeText(min, max) + ")";
        return false;
    }
    *value = v;
    return true;
}

bool parseHexadecimal(const std::string& text, unsigned long long max, unsigned long long* value,
                      std::string* error) {
    unsigned long long v = 0;
    bool tooLarge = false;
    if (!digits(text, hasHexPrefix(text, 0) ? 2 : 0, 16, max, &v, &tooLarge)) {
        *error = "\"" + text + "\" is not a hexadecimal number";
        return false;
    }
    if (tooLarge || v > max) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%llX", max);
        *error = "\"" + text + "\" is above " + limit;
        return false;
    }
    *value = v;
    return true;
}

bool parseDuration(const std::string& text, unsigned long long maxMicros, unsigned long long* micros,
                   std::string* error) {
    static const struct {
        const char* name;
        unsigned long long micros;
    } kUnits[] = {{"us", 1}, {"ms", 1000}, {"min", 60000000}, {"s", 1000000}};
    const size_t end = text.find_first_not_of("0123456789.");
    const std::string number = text.substr(0, end);
    const std::string unit = end == std::string::npos ? "" : text.substr(end);
    const size_t point = number.find('.');
    const std::string whole = number.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : number.substr(point + 1);
    unsigned long long scale = 0;
    for (const auto& u : kUnits) {
        if (unit == u.name) scale = u.micros;
    }
    unsigned long long w = 0, f = 0;
    bool tooLarge = false, fractionTooLarge = false;
    const bool wholeOk = digits(whole, 0, 10, maxMicros, &w, &tooLarge);
    if (scale == 0 || !wholeOk || fraction.size() > 6 || fraction.find('.') != std::string::npos ||
        (point != std::string::npos && !digits(fraction, 0, 10, 999999, &f, &fractionTooLarge))) {
        *error = "\"" + text + "\" is not a time such as 5s, 250ms or 1.5s (units us, ms, s, min)";
        return false;
    }
    for (size_t i = fraction.size(); i < 6; ++i) f *= 10;   // millionths of the unit
    const unsigned long long total = w * scale + f * scale / 1000000;
    if (tooLarge || (scale != 0 && w > maxMicros / scale) || total > maxMicros) {
        *error = "\"" + text + "\" is too long a time";
        return false;
    }
    *micros = total;
    return true;
}

}  // namespace yarvo::tools
