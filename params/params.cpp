#include "params.h"

#include <cwctype>

namespace brenmo {
namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Position of a character in the alphabet; "=" and everything else count as 0.
unsigned SymbolValue(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return static_cast<unsigned>(c - L'A');
  if (c >= L'a' && c <= L'z') return static_cast<unsigned>(c - L'a') + 26;
  if (c >= L'0' && c <= L'9') return static_cast<unsigned>(c - L'0') + 52;
  if (c == L'+') return 62;
  if (c == L'/') return 63;
  return 0;
}

}  // namespace

std::wstring Trim(const std::wstring& text) {
  const auto first = text.find_first_not_of(L' ');
  if (first == std::wstring::npos) return std::wstring();
  const auto last = text.find_last_not_of(L' ');
  return text.substr(first, last - first + 1);
}

std::wstring UpperCase(const std::wstring& text) {
  std::wstring upper(text);
  for (auto& c : upper) c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
  return upper;
}

std::wstring LookupValue(const std::wstring& parameters, const std::wstring& key) {
  const std::wstring upper = UpperCase(parameters);
  const std::wstring marker = L"#" + UpperCase(Trim(key)) + L"=";
  const auto match = upper.find(marker);
  if (match == std::wstring::npos) return std::wstring();
  const auto start = match + marker.size();
  const auto end = parameters.find(L'#', start);
  return parameters.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

std::wstring WriteParameterString(const std::wstring& user, const std::string& passwordBytes, bool xen3,
                                  const std::wstring& vmName, const std::wstring& vmState) {
  return L"#VSTP=XEN#USR=" + Trim(user) + L"#PWD=" + Base64Encode(passwordBytes) + L"#XVR=" +
         (xen3 ? L"3" : L"4") + L"#VMN=" + Trim(vmName) + L"#VMS=" + Trim(vmState) + L"#";
}

std::wstring Base64Encode(const std::string& bytes) {
  std::wstring out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (n > 1) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (n > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += static_cast<wchar_t>(kAlphabet[(group >> 18) & 63]);
    out += static_cast<wchar_t>(kAlphabet[(group >> 12) & 63]);
    out += n > 1 ? static_cast<wchar_t>(kAlphabet[(group >> 6) & 63]) : L'=';
    out += n > 2 ? static_cast<wchar_t>(kAlphabet[group & 63]) : L'=';
  }
  return out;
}

std::optional<std::string> Base64Decode(const std::wstring& text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    wchar_t group[4] = {L'=', L'=', L'=', L'='};
    for (std::size_t k = 0; k < 4 && i + k < text.size(); ++k) group[k] = text[i + k];
    if (group[0] == L'=') return std::nullopt;
    std::size_t bytes = 3;
    if (group[1] == L'=') bytes = 0;
    else if (group[2] == L'=') bytes = 1;
    else if (group[3] == L'=') bytes = 2;
    const std::uint32_t value = SymbolValue(group[0]) << 18 | SymbolValue(group[1]) << 12 |
                                SymbolValue(group[2]) << 6 | SymbolValue(group[3]);
    if (bytes > 0) out += static_cast<char>((value >> 16) & 0xFF);
    if (bytes > 1) out += static_cast<char>((value >> 8) & 0xFF);
    if (bytes > 2) out += static_cast<char>(value & 0xFF);
  }
  return out;
}

std::string Windows1252ToUtf8(const std::string& bytes) {
  // 0x80 to 0x9F; the rest of the code page is ISO 8859-1.
  static const char16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const unsigned byte = static_cast<unsigned char>(c);
    const unsigned code = byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte;
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::optional<double> VersionNumber(const std::wstring& text) {
  const std::wstring t = Trim(text);
  // Optional sign, digits with an optional fraction (at least one digit), optional exponent.
  std::size_t i = 0;
  if (i < t.size() && (t[i] == L'+' || t[i] == L'-')) ++i;
  std::size_t digits = 0;
  while (i < t.size() && t[i] >= L'0' && t[i] <= L'9') ++i, ++digits;
  if (i < t.size() && t[i] == L'.') {
    ++i;
    while (i < t.size() && t[i] >= L'0' && t[i] <= L'9') ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < t.size() && (t[i] == L'e' || t[i] == L'E')) {
    ++i;
    if (i < t.size() && (t[i] == L'+' || t[i] == L'-')) ++i;
    std::size_t expDigits = 0;
    while (i < t.size() && t[i] >= L'0' && t[i] <= L'9') ++i, ++expDigits;
    if (expDigits == 0) return std::nullopt;
  }
  if (i != t.size()) return std::nullopt;
  // The text is plain ASCII now: convert it without the locale's decimal separator.
  // Mantissa digits and a power of ten, applied by one multiplication or division so
  // that texts such as "3.0" give exactly 3.
  double mantissa = 0;
  long exponent = 0;
  bool negative = false, fraction = false;
  std::size_t p = 0;
  if (t[p] == L'+' || t[p] == L'-') negative = t[p++] == L'-';
  for (; p < t.size() && t[p] != L'e' && t[p] != L'E'; ++p) {
    if (t[p] == L'.') {
      fraction = true;
      continue;
    }
    mantissa = mantissa * 10 + (t[p] - L'0');
    if (fraction) --exponent;
  }
  if (p < t.size()) {
    ++p;
    bool negExp = false;
    if (t[p] == L'+' || t[p] == L'-') negExp = t[p++] == L'-';
    long e = 0;
    for (; p < t.size(); ++p) e = e > 100000 ? e : e * 10 + (t[p] - L'0');
    exponent += negExp ? -e : e;
  }
  double power = 1;
  for (long k = exponent < 0 ? -exponent : exponent; k > 0 && power < 1e308; --k) power *= 10;
  const double value = exponent < 0 ? mantissa / power : mantissa * power;
  return negative ? -value : value;
}

bool SelectsXen3(const std::wstring& version) {
  const auto number = VersionNumber(version);
  return number && *number == 3.0;
}

bool IncrementCounter(std::int16_t& counter) {
  if (counter == INT16_MAX) return false;
  ++counter;
  return true;
}

}  // namespace brenmo
