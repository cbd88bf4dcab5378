#include "base/text.h"

namespace base {

// Outside Windows the "ANSI code page" is taken as ISO 8859-1: one byte per character.
std::string ToNarrow(const std::wstring& wide) {
  std::string out;
  out.reserve(wide.size());
  for (wchar_t c : wide) out.push_back(static_cast<unsigned>(c) < 0x100 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring ToWide(const std::string& narrow) {
  std::wstring out;
  out.reserve(narrow.size());
  for (char c : narrow) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace base
