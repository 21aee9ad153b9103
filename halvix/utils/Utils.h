// halvix/utils/Utils.h - free helpers for the environment, time text and raw data.
//
// Environment and time (used by every Error header):
//   isEnvVarDefined, getEnvVarValue, getUserName, dateTimeToStr.
// Data formatting (offered to applications):
//   outputData (hex dump), toBcd (packed decimal), binaryStrToUInt32 (base-2 text).
//
// They are declared in namespace std, under which libhalvix.so exports them.
// None reports an error: missing input gives a fixed text, 0 or no output.
// All may be called from any thread at once; none keeps state.
#ifndef HALVIX_UTILS_UTILS_H
#define HALVIX_UTILS_UTILS_H

#include <halvix/Export.h>

#include <ctime>
#include <ostream>
#include <string>

namespace std {

// True if the environment has a variable of that name, whatever its value
// (the empty string included).
HALVIX_API bool isEnvVarDefined(const std::string& name);

// The variable's value, or "-- not available --" when it is not defined.
HALVIX_API std::string getEnvVarValue(const std::string& name);

// The value of USER, or "-- not available --"; nothing else is consulted.
HALVIX_API std::string getUserName();

// Local time of `seconds` in ctime's 24-character form without the newline,
// for example "Thu Jan  1 00:00:00 1970", in the zone that TZ names at the
// time of the call. Thread-safe (reentrant conversion).
// A time that the local-time conversion cannot represent gives
// "-- invalid time --" rather than an empty or garbled text.
HALVIX_API std::string dateTimeToStr(const time_t& seconds);

// Hex dump of `length` bytes at `data`: lines of 16 bytes such as
//   0000-000f: 48 65 6c 6c 6f 2c 20 77 6f 72 6c 64 21 20 31 32 Hello, world! 12
// Offsets are lower-case hex without a prefix whatever flags `os` carries.
// A null `data` writes nothing and leaves `os` untouched; a `length` of 0 or
// below writes nothing. Afterwards `os` has its own flags back, in decimal
// base, and after a dump that wrote lines with left adjustment and a blank
// fill.
HALVIX_API std::ostream& outputData(std::ostream& os, const void* data, int length);

// Packed decimal of `value` (toBcd(1234) == 0x1234); 0 for 0 and for values
// above 99999999, which do not fit into eight nibbles.
HALVIX_API unsigned int toBcd(unsigned int value);

// The base-2 number in `text`, parsed as strtoul does (leading blanks, an
// optional sign, stops at the first non-digit); the low 32 bits of the
// result. No digits give 0; an overflow gives 0xFFFFFFFF.
HALVIX_API unsigned int binaryStrToUInt32(const std::string& text);

}  // namespace std

#endif  // HALVIX_UTILS_UTILS_H
