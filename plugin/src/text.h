// Conversions between wide text and bytes of the thread's ANSI code page.
#pragma once
#include <string>

namespace brenmo {

// Each character to its ANSI code; characters without one become the default character.
std::string ToAnsi(const std::wstring& text);
// Each ANSI byte (or double-byte sequence) to its character.
std::wstring FromAnsi(const std::string& bytes);

}  // namespace brenmo
