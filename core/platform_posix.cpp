#include "platform.h"

#include <dlfcn.h>

#include <cstdio>
#include <mutex>
#include <random>

namespace platform {

namespace {
std::mutex g_directoryLock;
std::string g_directory;  // set by SetLibraryDirectory; empty: the module's own
}  // namespace

void SetLibraryDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> guard(g_directoryLock);
  g_directory = directory;
  if (!g_directory.empty() && g_directory.back() != '/') g_directory += '/';
}

std::string LibraryDirectory() {
  {
    std::lock_guard<std::mutex> guard(g_directoryLock);
    if (!g_directory.empty()) return g_directory;
  }
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  const auto cut = path.find_last_of('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string NewUuid() {
  static thread_local std::random_device device;
  unsigned char b[16];
  for (auto& byte : b) byte = static_cast<unsigned char>(device());
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

}  // namespace platform
