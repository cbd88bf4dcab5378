#include "xen4_text.h"

#ifdef _WIN32
#include "base/text.h"

std::string Utf8FromNarrow(const std::string& narrow) { return base::ToUtf8(base::ToWide(narrow)); }
// Bytes that are not UTF-8 become U+FFFD, then the code page's default character.
std::string NarrowFromUtf8(const std::string& utf8) { return base::ToNarrow(base::FromUtf8(utf8)); }

#else

std::string Utf8FromNarrow(const std::string& narrow) { return narrow; }
std::string NarrowFromUtf8(const std::string& utf8) { return utf8; }

#endif
