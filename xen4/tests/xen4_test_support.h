// Shared pieces of the xen4 tests that run beside the simulated host.
#pragma once
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "json_lite.h"
#include "session_impl.h"
#include "sim_client.h"

namespace xen4test {

// libcurl with sockets started: the connector initialises it with flags 0 and relies on
// its own start-up for Windows sockets; a test program has to do both itself.
class CurlEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { curl_global_init(CURL_GLOBAL_ALL); }
  void TearDown() override { curl_global_cleanup(); }
};

// One control request to the simulated host (made one line); fails the test unless it
// answers ok.
inline jsonlite::Value Control(std::string json) {
  for (char& ch : json)
    if (ch == '\n' || ch == '\r') ch = ' ';
  const std::string reply = simtest::Control(json);
  jsonlite::Value v = jsonlite::Parse(reply);
  EXPECT_TRUE(simtest::ReplyOk(reply)) << json << " -> " << reply;
  return v;
}

inline jsonlite::Value XenApi(const std::string& jsonFields) {
  return Control("{\"target\": \"xenapi\", " + jsonFields + "}");
}

inline int XenApiPort() { return simtest::FromEnvironment().xenapiPort; }

// Methods the simulated server has received since the last "clear_calls".
inline std::vector<std::string> Calls() {
  std::vector<std::string> out;
  const jsonlite::Value reply = XenApi("\"cmd\": \"calls\"");
  for (const auto& m : reply["methods"].items) out.push_back(m.text);
  return out;
}

inline int Count(const std::vector<std::string>& calls, const std::string& method) {
  int n = 0;
  for (const auto& c : calls) n += c == method;
  return n;
}

// Polls until pred holds or the time is up; returns pred's last value.
inline bool WaitFor(const std::function<bool()>& pred,
                    std::chrono::milliseconds limit = std::chrono::seconds(15)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The automation VM list as the back end sees it.
class TestCollection : public IVmCollection {
 public:
  int32_t GetCount() override { return static_cast<int32_t>(items.size()); }
  XenVMImpl* GetItem(int32_t index) override { return items.at(static_cast<size_t>(index)).get(); }
  void Add(XenVMImpl* vm) override { items.emplace_back(vm); }
  void Detach(int32_t index) override { GetItem(index)->SetSession(nullptr); }
  void DetachAll() {
    for (int32_t i = 0; i < GetCount(); ++i) Detach(i);
  }
  std::vector<std::unique_ptr<XenVMImpl>> items;
};

// The message of the exception fn throws, or "(no exception)".
inline std::string MessageOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

}  // namespace xen4test
