// Soak: creates and closes many sessions in one process and reports resident memory,
// threads and open descriptors before and after. Nothing may grow.
//
//   soak_native MODE COUNT ADDRESS PORT USER PASSWORD      (MODE 2 = xen3, 3 = xen4)
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "session_impl.h"
#include "session_settings.h"

namespace {

struct Collection : IVmCollection {
  std::vector<std::unique_ptr<XenVMImpl>> vms;
  int32_t GetCount() override { return static_cast<int32_t>(vms.size()); }
  XenVMImpl* GetItem(int32_t i) override { return vms[static_cast<size_t>(i)].get(); }
  void Add(XenVMImpl* vm) override { vms.emplace_back(vm); }
  void Detach(int32_t i) override { vms[static_cast<size_t>(i)]->SetSession(nullptr); }
};

struct Usage {
  long rssKiB = 0;
  long threads = 0;
  long fds = 0;
};

Usage Measure() {
  Usage u;
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") status >> u.rssKiB;
    else if (key == "Threads:") status >> u.threads;
  }
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++u.fds;
    closedir(d);
    u.fds -= 3;  // ".", ".." and the directory itself
  }
  return u;
}

void OneSession(const SessionSettings& settings, const char* address, const char* user, const char* password) {
  Collection collection;
  std::unique_ptr<XenSessionImpl> session(settings.CreateSessionImpl(address, user, password));
  session->FillVMList(&collection);
  session->Update();
  for (int32_t i = 0; i < collection.GetCount(); ++i) collection.Detach(i);
  session->Close();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s MODE COUNT ADDRESS PORT USER PASSWORD\n", argv[0]);
    return 2;
  }
  SessionSettings settings;
  settings.SetConnectionMode(std::atoi(argv[1]));
  settings.SetPort(std::atoi(argv[4]));
  settings.SetRefreshingDelay(1);
  const int count = std::atoi(argv[2]);

  // Warm up once so that one-time allocations (TLS library state, caches) do not count.
  OneSession(settings, argv[3], argv[5], argv[6]);
  const Usage before = Measure();
  const auto start = std::chrono::steady_clock::now();
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    try {
      OneSession(settings, argv[3], argv[5], argv[6]);
    } catch (const std::exception& e) {
      if (++failures <= 3) std::fprintf(stderr, "session %d: %s\n", i, e.what());
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Refresh threads of closed sessions end on their own; give the last ones a moment.
  for (int i = 0; i < 100 && RefreshThread::LiveThreads() > 0; ++i) usleep(50000);
  const Usage after = Measure();
  std::printf("sessions=%d failures=%d seconds=%.1f rss_kib=%ld->%ld threads=%ld->%ld fds=%ld->%ld\n", count,
              failures, seconds, before.rssKiB, after.rssKiB, before.threads, after.threads, before.fds,
              after.fds);
  return failures ? 1 : 0;
}
