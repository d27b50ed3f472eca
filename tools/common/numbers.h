// The one way the tools read numbers that people type: decimal, or
// hexadecimal after 0x, with an optional sign where the range allows
// negative values.  A leading zero is a decimal digit (010 is ten, never
// eight), and a value outside the range the caller gives is refused, never
// wrapped into it.
#ifndef YARVO_TOOLS_NUMBERS_H
#define YARVO_TOOLS_NUMBERS_H

#include <cstdint>
#include <string>

namespace yarvo::tools {

// The whole of `text` as an integer within [min, max].  False with a message
// naming the text and the range otherwise.
bool parseInteger(const std::string& text, long long min, long long max, long long* value, std::string* error);

// Hexadecimal digits with or without 0x (the control channel's input
// words), up to `max`.
bool parseHexadecimal(const std::string& text, unsigned long long max, unsigned long long* value,
                      std::string* error);

// A time as people write it: a decimal number with up to six decimals and
// one of the units us, ms, s or min ("5s", "250ms", "1.5s"), in
// microseconds, at most `maxMicros`.
bool parseDuration(const std::string& text, unsigned long long maxMicros, unsigned long long* micros,
                   std::string* error);

}  // namespace yarvo::tools

#endif
