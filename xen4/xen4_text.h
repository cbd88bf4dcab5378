// Text at the XenAPI boundary: the wire carries UTF-8, callers hand over and receive
// narrow text in their ANSI code page. On Windows the two are converted (through wide
// text); elsewhere narrow text is UTF-8 already and passes unchanged.
#pragma once
#include <string>

std::string Utf8FromNarrow(const std::string& narrow);
std::string NarrowFromUtf8(const std::string& utf8);
