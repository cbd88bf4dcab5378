// Soak through the DLL: creates and closes many sessions through Vantrel's automation
// objects and reports working set, threads and handles before and after, and the
// working set after every tenth of the sessions (a leak shows as a slope).
//
//   soak_com MODE COUNT ADDRESS PORT USER PASSWORD
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Vantrel.h"

namespace {

struct Usage {
  SIZE_T workingSetKiB = 0;
  DWORD threads = 0;
  DWORD handles = 0;
};

Usage Measure() {
  Usage u;
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) u.workingSetKiB = pmc.WorkingSetSize / 1024;
  GetProcessHandleCount(GetCurrentProcess(), &u.handles);
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  if (snap != INVALID_HANDLE_VALUE && Thread32First(snap, &te)) {
    do {
      if (te.th32OwnerProcessID == GetCurrentProcessId()) ++u.threads;
    } while (Thread32Next(snap, &te));
  }
  if (snap != INVALID_HANDLE_VALUE) CloseHandle(snap);
  return u;
}

HRESULT OneSession(IXenFactory* factory, BSTR address, BSTR user, BSTR password) {
  IXenSession* session = nullptr;
  HRESULT hr = factory->CreateSession(address, user, password, &session);
  if (FAILED(hr)) return hr;
  hr = session->Update();
  if (SUCCEEDED(hr)) hr = session->Close();
  session->Release();
  return hr;
}

BSTR Wide(const char* s) {
  wchar_t buffer[512];
  MultiByteToWideChar(CP_ACP, 0, s, -1, buffer, 512);
  return SysAllocString(buffer);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s MODE COUNT ADDRESS PORT USER PASSWORD\n", argv[0]);
    return 2;
  }
  CoInitialize(nullptr);
  IXenFactory* factory = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_XenFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IXenFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) {
    std::printf("cannot create the factory: 0x%08lx\n", static_cast<unsigned long>(hr));
    return 1;
  }
  factory->put_ConnectionMode(static_cast<XenConnectionMode>(std::atoi(argv[1])));
  factory->put_Port(std::atoi(argv[4]));
  factory->put_RefreshingDelay(1);
  BSTR address = Wide(argv[3]), user = Wide(argv[5]), password = Wide(argv[6]);
  const int count = std::atoi(argv[2]);

  OneSession(factory, address, user, password);
  const Usage before = Measure();
  const DWORD start = GetTickCount();
  int failures = 0;
  std::string samples;  // working set (KiB) after each tenth of the sessions
  const int step = count >= 10 ? count / 10 : 1;
  for (int i = 0; i < count; ++i) {
    if (FAILED(OneSession(factory, address, user, password)) && ++failures <= 3)
      std::fprintf(stderr, "session %d failed\n", i);
    if ((i + 1) % step == 0) samples += (samples.empty() ? "" : ",") + std::to_string(Measure().workingSetKiB);
  }
  const double seconds = (GetTickCount() - start) / 1000.0;
  Sleep(1000);  // let the refresh threads of the last sessions end
  const Usage after = Measure();
  std::printf("sessions=%d failures=%d seconds=%.1f working_set_kib=%lu->%lu threads=%lu->%lu handles=%lu->%lu "
              "working_set_kib_every_%d=%s\n",
              count, failures, seconds, static_cast<unsigned long>(before.workingSetKiB),
              static_cast<unsigned long>(after.workingSetKiB), static_cast<unsigned long>(before.threads),
              static_cast<unsigned long>(after.threads), static_cast<unsigned long>(before.handles),
              static_cast<unsigned long>(after.handles), step, samples.c_str());
  std::fflush(stdout);
  SysFreeString(address);
  SysFreeString(user);
  SysFreeString(password);
  factory->Release();
  CoUninitialize();
  return failures ? 1 : 0;
}
