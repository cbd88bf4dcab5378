#include "openssl_release_log.h"

#include <atomic>
#include <mutex>

#ifndef _WIN32
#include <dlfcn.h>
#include <openssl/crypto.h>
#endif

namespace {
std::atomic<std::uint64_t> g_clock{0};
// Never destroyed: a worker may still be ending when the program exits.
std::mutex& g_lock = *new std::mutex;
std::vector<releaselog::Release>& g_releases = *new std::vector<releaselog::Release>;
}  // namespace

namespace releaselog {

std::uint64_t Stamp() { return ++g_clock; }

void Clear() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_releases.clear();
}

std::vector<Release> Releases() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_releases;
}

}  // namespace releaselog

#ifndef _WIN32
extern "C" void OPENSSL_thread_stop(void) {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_releases.push_back({std::this_thread::get_id(), releaselog::Stamp()});
  }
  using Library = void (*)();
  static const auto library = reinterpret_cast<Library>(dlsym(RTLD_NEXT, "OPENSSL_thread_stop"));
  if (library != nullptr) library();
}
#endif
