// Shared pieces of the xen3 session tests: a VM list standing in for the automation
// collection, access to the simulated agent's control commands, and the expected
// request texts written out independently of the message writer.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "json_value.h"
#include "session_impl.h"
#include "vm_impl.h"

namespace xen3test {

// Owns the VMs handed to it, as the automation VM list does.
class TestVmList : public IVmCollection {
 public:
  int32_t GetCount() override { return static_cast<int32_t>(vms_.size()); }
  XenVMImpl* GetItem(int32_t index) override { return vms_.at(static_cast<std::size_t>(index)).get(); }
  void Add(XenVMImpl* vm) override { vms_.emplace_back(vm); }
  void Detach(int32_t index) override { vms_.at(static_cast<std::size_t>(index))->SetSession(nullptr); }

  XenVMImpl* ByName(const std::string& name) {
    for (auto& vm : vms_)
      if (vm->GetName() == name) return vm.get();
    return nullptr;
  }

 private:
  std::vector<std::unique_ptr<XenVMImpl>> vms_;
};

// One control line to the simulated host; fails the test unless it answers ok.
testjson::Value HostControl(const std::string& json);
// One control line for the xen3 agent: the members after {"target": "xen3", ...}.
testjson::Value Agent(const std::string& members);

struct Recorded {
  int conn = 0;
  std::string cmd;  // empty when the request was not a readable "msg"
  std::string raw;  // the bytes as they arrived, frame end included
};
std::vector<Recorded> Requests();
void ClearRequests();
std::vector<std::string> Commands(const std::vector<Recorded>& requests);

// The agent's view of its back channels.
testjson::Value BackChannels();

// Polls until the predicate holds or the time runs out; returns the predicate's last value.
bool WaitFor(const std::function<bool()>& predicate,
             std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// Expected request texts.
std::string Element(const std::string& key, const std::string& value);
std::string Request(const std::string& cmd, const std::string* payload, const std::string& sessionId);

// The session identifier carried by a raw request.
std::string SessionIdOf(const std::string& raw);

}  // namespace xen3test
