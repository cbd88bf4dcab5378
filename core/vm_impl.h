// The back-end VM: the figures of one virtual machine as the automation layer reports
// them, and the power operations each protocol implements.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "figures.h"

class XenVMImpl {
 public:
  XenVMImpl() = default;
  XenVMImpl(const XenVMImpl& other);
  XenVMImpl& operator=(const XenVMImpl&) = delete;
  virtual ~XenVMImpl() = default;

  // The owning back-end session (not owned), or null to detach. Concrete classes
  // keep a pointer of their own session type.
  virtual void SetSession(class XenSessionImpl* session);

  virtual double GetCpuUsage() const { return CpuUsage.load(std::memory_order_relaxed); }
  virtual void SetCpuUsage(double v) { CpuUsage.store(v, std::memory_order_relaxed); }
  virtual const std::string& GetName() const { return Name; }
  virtual void SetName(const std::string& v) { Name = v; }
  virtual const std::string& GetDescription() const { return Description; }
  virtual void SetDescription(const std::string& v) { Description = v; }
  virtual const std::string& GetStatus() const { return Status; }
  virtual void SetStatus(const std::string& v) { Status = v; }
  virtual int32_t GetMemory() const { return Memory.load(std::memory_order_relaxed); }
  virtual void SetMemory(int32_t v) { Memory.store(v, std::memory_order_relaxed); }
  virtual int32_t GetNumCpus() const { return NumCpus.load(std::memory_order_relaxed); }
  virtual void SetNumCpus(int32_t v) { NumCpus.store(v, std::memory_order_relaxed); }
  virtual double GetMemoryUsage() const { return MemoryUsage.load(std::memory_order_relaxed); }
  virtual void SetMemoryUsage(double v) { MemoryUsage.store(v, std::memory_order_relaxed); }
  virtual double GetDiskIO() const { return DiskIO.load(std::memory_order_relaxed); }
  virtual void SetDiskIO(double v) { DiskIO.store(v, std::memory_order_relaxed); }
  virtual double GetNetworkIO() const { return NetworkIO.load(std::memory_order_relaxed); }
  virtual void SetNetworkIO(double v) { NetworkIO.store(v, std::memory_order_relaxed); }

  // Where the VM's live figures come from (None: not measured).
  FigureSource GetFigureSource(Figure f) const { return Sources.Get(f); }
  void SetFigureSource(Figure f, FigureSource s) { Sources.Set(f, s); }

  // Power operations. Each fails by throwing std::runtime_error with a message,
  // "no session" when the VM has no owning session.
  virtual void Start() = 0;
  virtual void Shutdown() = 0;
  virtual void Suspend() = 0;
  virtual void Restore() = 0;
  virtual void Reboot() = 0;
  virtual void Pause() = 0;
  virtual void Unpause() = 0;

 private:
  // Texts are written and read by one thread at a time (the back ends that share a VM
  // between threads guard it with a lock of their own); numbers may be read at any time.
  std::string Status = "UNKNOWN";
  std::string Name;
  std::string Description;
  std::atomic<int32_t> NumCpus{0};
  std::atomic<int32_t> Memory{0};
  std::atomic<double> CpuUsage{0.0};
  std::atomic<double> MemoryUsage{0.0};
  std::atomic<double> DiskIO{0.0};
  std::atomic<double> NetworkIO{0.0};
  FigureSources Sources;
};

// Message of the power operations of a VM without owning session.
inline constexpr const char kNoSession[] = "no session";
