// The loaded module (DLL or program) that holds a given address, and its file name.
#pragma once
#include <windows.h>

#include <string>

namespace base {

// The module holding the address, without taking a reference to it; null when none does.
HMODULE ModuleOf(const void* address) noexcept;

// The module this code is linked into: base is a static library, so the DLL (or
// program) that links it, found from its own address (a renamed copy finds itself).
HMODULE ThisModule() noexcept;

// Full path of a loaded module (null: the program), however long; empty on failure.
std::wstring ModuleFileName(HMODULE module);

// The folder of a loaded module's file, with its trailing backslash; empty on failure.
std::wstring ModuleDirectory(HMODULE module);

}  // namespace base
