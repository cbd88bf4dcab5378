// OpenSSL's release of a thread's state (OPENSSL_thread_stop), as the code linked into a
// test program calls it. Recorded where OpenSSL is a shared library: the test program's
// definition stands in for the library's and hands on to it. A statically linked OpenSSL
// (the Windows builds) cannot be stood in for; nothing is recorded there.
#pragma once
#include <cstdint>
#include <thread>
#include <vector>

namespace releaselog {

#ifdef _WIN32
constexpr bool kRecorded = false;
#else
constexpr bool kRecorded = true;
#endif

// A clock shared by the releases and a test's own events: every call returns a later value,
// so stamps taken on one thread give the order of what happened there.
std::uint64_t Stamp();

struct Release {
  std::thread::id thread;
  std::uint64_t stamp;
};

void Clear();
std::vector<Release> Releases();

}  // namespace releaselog
