// The back-end session: one open connection to one Xen server, whatever protocol
// carries it, and the narrow view of the automation VM list that back ends fill.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "figures.h"
#include "refresh_thread.h"
#include "vm_impl.h"

// The automation VM list as the back ends see it. Indexes are zero-based and must be
// below the count.
class IVmCollection {
 public:
  virtual int32_t GetCount() = 0;
  virtual XenVMImpl* GetItem(int32_t index) = 0;
  // Takes ownership of vm, wraps it in a new automation VM object and appends it.
  virtual void Add(XenVMImpl* vm) = 0;
  // Detaches the VM of the entry from its session (SetSession(nullptr)); it stays listed.
  virtual void Detach(int32_t index) = 0;

 protected:
  ~IVmCollection() = default;
};

// A VM list for programs without the automation layer (the monitoring command, the
// benchmarks): it owns the VMs it is given.
class OwnedVmList : public IVmCollection {
 public:
  int32_t GetCount() override { return static_cast<int32_t>(vms_.size()); }
  XenVMImpl* GetItem(int32_t index) override { return vms_.at(static_cast<size_t>(index)).get(); }
  void Add(XenVMImpl* vm) override { vms_.emplace_back(vm); }
  void Detach(int32_t index) override { vms_.at(static_cast<size_t>(index))->SetSession(nullptr); }

 private:
  std::vector<std::unique_ptr<XenVMImpl>> vms_;
};

// The host's live figures with their sources. A session shares them with its refresh
// pass, which writes them and may outlive the session.
struct HostLiveFigures {
  std::atomic<double> CpuUsage{0.0};
  std::atomic<double> MemoryUsage{0.0};
  std::atomic<double> DiskIO{0.0};
  std::atomic<double> NetworkIO{0.0};
  FigureSources Sources;

  // A measured figure: its value, then its source.
  void Put(Figure f, double value, FigureSource source) {
    std::atomic<double>* const slot[kFigureCount] = {&CpuUsage, &MemoryUsage, &NetworkIO, &DiskIO};
    slot[static_cast<int>(f)]->store(value);
    Sources.Set(f, source);
  }
};

class XenSessionImpl {
 public:
  XenSessionImpl() = default;
  XenSessionImpl(const XenSessionImpl&) = delete;
  XenSessionImpl& operator=(const XenSessionImpl&) = delete;
  virtual ~XenSessionImpl() = default;

  // Opens the connection, obtains host facts and VM data and starts the refresh thread.
  // Fails by throwing an exception of the std::exception family carrying a message.
  virtual void Connect(const std::string& address, const std::string& userName,
                       const std::string& password, int32_t port) = 0;
  // Ends the connection and stops the refresh thread; may run more than once.
  virtual void Close() = 0;
  virtual void RestartHost() = 0;
  virtual void ShutdownHost() = 0;
  // Stores the collection; back ends also put their VMs into it and run Update.
  virtual void FillVMList(IVmCollection* collection);
  // Brings the attached collection (and for some back ends the host figures) up to date.
  virtual void Update() = 0;
  // Waits at most limit until the back end holds its first complete set of live figures
  // since Connect (what Connect itself reads does not count), so that the next Update
  // brings them. True once they are in; false when the limit passes first, and at once
  // when the connection is known to be lost or closed. Back ends that read everything
  // in Connect answer true at once.
  virtual bool WaitForFigures(std::chrono::milliseconds limit) {
    (void)limit;
    return true;
  }

  virtual const std::string& GetServerName() const { return ServerName; }
  virtual void SetServerName(const std::string& v) { ServerName = v; }
  virtual const std::string& GetXenVersion() const { return XenVersion; }
  virtual void SetXenVersion(const std::string& v) { XenVersion = v; }
  virtual double GetCpuUsage() const { return live_->CpuUsage.load(std::memory_order_relaxed); }
  virtual void SetCpuUsage(double v) { live_->CpuUsage.store(v, std::memory_order_relaxed); }
  virtual int32_t GetMemory() const { return Memory.load(std::memory_order_relaxed); }
  virtual void SetMemory(int32_t v) { Memory.store(v, std::memory_order_relaxed); }
  virtual int32_t GetNumCpus() const { return NumCpus.load(std::memory_order_relaxed); }
  virtual void SetNumCpus(int32_t v) { NumCpus.store(v, std::memory_order_relaxed); }
  virtual double GetMemoryUsage() const { return live_->MemoryUsage.load(std::memory_order_relaxed); }
  virtual void SetMemoryUsage(double v) { live_->MemoryUsage.store(v, std::memory_order_relaxed); }
  virtual double GetDiskIO() const { return live_->DiskIO.load(std::memory_order_relaxed); }
  virtual void SetDiskIO(double v) { live_->DiskIO.store(v, std::memory_order_relaxed); }
  virtual double GetNetworkIO() const { return live_->NetworkIO.load(std::memory_order_relaxed); }
  virtual void SetNetworkIO(double v) { live_->NetworkIO.store(v, std::memory_order_relaxed); }
  virtual const std::string& GetServerDescription() const { return ServerDescription; }
  virtual void SetServerDescription(const std::string& v) { ServerDescription = v; }

  // Where the host's live figures come from (None: not measured).
  FigureSource GetFigureSource(Figure f) const { return live_->Sources.Get(f); }
  void SetFigureSource(Figure f, FigureSource s) { live_->Sources.Set(f, s); }

 protected:
  IVmCollection* collection_ = nullptr;  // attached VM collection, not owned
  // For a refresh pass that writes the live figures from its own thread.
  const std::shared_ptr<HostLiveFigures>& LiveFigures() const { return live_; }

 private:
  // Texts are written on the caller's thread only. The numbers may be written by a
  // refresh thread while the caller reads them, hence atomics.
  std::string ServerName;
  std::string XenVersion;
  std::string ServerDescription;
  std::atomic<int32_t> NumCpus{0};
  std::atomic<int32_t> Memory{0};
  const std::shared_ptr<HostLiveFigures> live_ = std::make_shared<HostLiveFigures>();
};
