// What differs between Windows and the native build: where the library file lies,
// random UUIDs, and text conversion between wide strings and the ANSI code page.
#pragma once
#include <string>

namespace platform {

// Directory of the connector library file, including its trailing separator, or an
// empty string when the path has no directory part. On Windows this is the directory of
// the loaded module "Vantrel.dll" (the executable's when no such module is loaded); on
// other systems that of the shared object or executable holding this code.
std::string LibraryDirectory();

// A random (version 4) UUID in its 36-character lower-case text form.
std::string NewUuid();

// Conversions between wide text and narrow text in the calling thread's ANSI code page.
// Characters without a mapping become the code page's default character.
std::string ToNarrow(const std::wstring& wide);
std::wstring ToWide(const std::string& narrow);

}  // namespace platform
