// A back end for tests of the automation objects: a session that puts a given number
// of VMs into its collection and records what is done to it, and VMs whose power
// operations record their calls or fail with a chosen message.
#pragma once
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "session_impl.h"
#include "vm_impl.h"

// What happened, in order, across a fake session and its VMs.
struct FakeLog {
  std::vector<std::string> events;
  int liveSessions = 0;
  int liveVms = 0;
  bool contains(const std::string& e) const {
    for (const auto& x : events)
      if (x == e) return true;
    return false;
  }
  int count(const std::string& e) const {
    int n = 0;
    for (const auto& x : events) n += x == e;
    return n;
  }
  // Index of the first occurrence, or -1.
  int index(const std::string& e) const {
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i] == e) return static_cast<int>(i);
    return -1;
  }
};

class FakeSession;

class FakeVM : public XenVMImpl {
 public:
  FakeVM(std::shared_ptr<FakeLog> log, std::string name) : log_(std::move(log)) {
    SetName(name);
    ++log_->liveVms;
  }
  ~FakeVM() override {
    --log_->liveVms;
    log_->events.push_back("delete vm " + GetName());
  }
  void SetSession(XenSessionImpl* session) override {
    session_ = session;
    log_->events.push_back(std::string(session ? "attach " : "detach ") + GetName());
  }
  XenSessionImpl* Session() const { return session_; }

  // The message the next power operations fail with (empty: they succeed).
  std::string failWith;

  void Start() override { Op("Start"); }
  void Shutdown() override { Op("Shutdown"); }
  void Suspend() override { Op("Suspend"); }
  void Restore() override { Op("Restore"); }
  void Reboot() override { Op("Reboot"); }
  void Pause() override { Op("Pause"); }
  void Unpause() override { Op("Unpause"); }

 private:
  void Op(const char* what) {
    if (!session_) throw std::runtime_error(kNoSession);
    if (!failWith.empty()) throw std::runtime_error(failWith);
    log_->events.push_back(std::string(what) + " " + GetName());
  }
  std::shared_ptr<FakeLog> log_;
  XenSessionImpl* session_ = nullptr;
};

class FakeSession : public XenSessionImpl {
 public:
  FakeSession(std::shared_ptr<FakeLog> log, int vms) : log_(std::move(log)), vmCount_(vms) {
    ++log_->liveSessions;
    SetServerName("xenhost01");
    SetXenVersion("4.1.2");
    SetServerDescription("Test host");
    SetNumCpus(8);
    SetMemory(32768);
    SetCpuUsage(12.5);
    SetMemoryUsage(40.25);
    SetDiskIO(3.5);
    SetNetworkIO(7.75);
  }
  ~FakeSession() override {
    --log_->liveSessions;
    log_->events.push_back("delete session");
  }

  // Failure messages of the operations (empty: they succeed).
  std::string failFill, failUpdate, failClose, failHost;

  void Connect(const std::string&, const std::string&, const std::string&, int32_t) override {}
  void Close() override {
    log_->events.push_back("close");
    if (!failClose.empty()) throw std::runtime_error(failClose);
  }
  void RestartHost() override {
    if (!failHost.empty()) throw std::runtime_error(failHost);
    log_->events.push_back("restart host");
  }
  void ShutdownHost() override {
    if (!failHost.empty()) throw std::runtime_error(failHost);
    log_->events.push_back("shutdown host");
  }
  void FillVMList(IVmCollection* collection) override {
    XenSessionImpl::FillVMList(collection);
    log_->events.push_back("fill");
    for (int i = 0; i < vmCount_; ++i) {
      auto* vm = new FakeVM(log_, "vm" + std::to_string(i + 1));
      vm->SetSession(this);
      collection->Add(vm);
      if (!failFill.empty() && i == 0) throw std::runtime_error(failFill);
    }
    Update();
  }
  void Update() override {
    if (!failUpdate.empty()) throw std::runtime_error(failUpdate);
    log_->events.push_back("update");
    for (int32_t i = 0; i < collection_->GetCount(); ++i) {
      XenVMImpl* vm = collection_->GetItem(i);
      vm->SetStatus("UP");
      vm->SetCpuUsage(10.0 * (i + 1));
      vm->SetMemory(1024 * (i + 1));
      vm->SetNumCpus(i + 1);
    }
  }
  IVmCollection* Collection() const { return collection_; }

 private:
  std::shared_ptr<FakeLog> log_;
  int vmCount_;
};
