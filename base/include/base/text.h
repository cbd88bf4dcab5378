// Text conversion between wide strings and narrow text in the calling thread's ANSI code
// page: the one conversion the connector, the COM framework and the plug-in all use.
#pragma once
#include <string>

namespace base {

// Characters without a mapping become the code page's default character. Outside
// Windows the "ANSI code page" is ISO 8859-1.
std::string ToNarrow(const std::wstring& wide);
std::wstring ToWide(const std::string& narrow);

#ifdef _WIN32
// UTF-8 and wide text; bytes that are not UTF-8 become U+FFFD.
std::string ToUtf8(const std::wstring& wide);
std::wstring FromUtf8(const std::string& utf8);
#endif

}  // namespace base
