// What differs between Windows and the native build: where the library file lies and
// random UUIDs. Text conversion lives in base/text.h.
#pragma once
#include <string>

namespace platform {

// Directory of the connector library file, including its trailing separator, or an
// empty string when the path has no directory part: the directory of the module (DLL,
// shared object or executable) holding this code, whatever its file is called.
std::string LibraryDirectory();

#ifndef _WIN32
// For a native program that carries the connector's code in its own executable (the
// monitoring command): the directory LibraryDirectory answers from now on, with its
// trailing separator added when missing. An empty text restores the module's directory.
void SetLibraryDirectory(const std::string& directory);
#endif

// A random (version 4) UUID in its 36-character lower-case text form.
std::string NewUuid();

}  // namespace platform
