// The check's parameter string: writing it, looking up one value in it, and the Base64
// form in which it carries the password. Portable: the Windows parts convert between
// wide text and ANSI bytes around these functions.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace brenmo {

// Removes leading and trailing space characters (only U+0020, as the host's "trim").
std::wstring Trim(const std::wstring& text);

// Upper case of every character, one character for one, so that positions in the result
// are positions in the original.
std::wstring UpperCase(const std::wstring& text);

// The value of `key` in `parameters`: the text after the first "#KEY=" (keys compared
// without regard to case, the key trimmed) up to the next "#" or the end of the string,
// taken from the unchanged string so that it keeps its case. Empty when the key is absent.
std::wstring LookupValue(const std::wstring& parameters, const std::wstring& key);

// The parameter string the OK button writes:
// "#VSTP=XEN#USR=<user>#PWD=<password in Base64>#XVR=<3|4>#VMN=<vm>#VMS=<state>#".
// User, VM name and state are trimmed here; `passwordBytes` is the password in ANSI
// bytes and is encoded as it is.
std::wstring WriteParameterString(const std::wstring& user, const std::string& passwordBytes, bool xen3,
                                  const std::wstring& vmName, const std::wstring& vmState);

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::wstring Base64Encode(const std::string& bytes);

// Tolerant decoding: groups of four characters, missing trailing characters count as
// "=", characters outside the alphabet count as 0. A group yields three bytes, or one
// when its first "=" is third, two when fourth, none when second. Fails (no value) only
// for a group whose first character is "=".
std::optional<std::string> Base64Decode(const std::wstring& text);

// The password bytes of a parameter string written on Windows (the ANSI code page there,
// Windows-1252 in western set-ups) as UTF-8, for a program that reads the string outside
// Windows. The five positions Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// map to the control characters of the same number, as Windows' own conversion does.
std::string Windows1252ToUtf8(const std::string& bytes);

// The Xen version value compared as a number: the number it holds, or no value when the
// text (surrounding spaces aside) is not a decimal number.
std::optional<double> VersionNumber(const std::wstring& text);

// True when the version value selects the xen3 protocol (it equals 3 as a number); any
// other number, and a value that is not a number, select the xen4 protocol.
bool SelectsXen3(const std::wstring& version);

// The check's 16-bit VM counter: adds one, or returns false (the counter unchanged)
// when the result would leave the 16-bit signed range.
bool IncrementCounter(std::int16_t& counter);

}  // namespace brenmo
