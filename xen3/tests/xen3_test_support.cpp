#include "xen3_test_support.h"

#include <gtest/gtest.h>

#include <thread>

#include "sim_client.h"

namespace xen3test {

testjson::Value HostControl(const std::string& json) {
  std::string line = json;  // the control port reads one line per request
  for (char& c : line)
    if (c == '\n') c = ' ';
  const std::string reply = simtest::Control(line);
  testjson::Value value = testjson::Parse(reply);
  EXPECT_TRUE(value["ok"].boolean) << json << " -> " << reply;
  return value;
}

testjson::Value Agent(const std::string& members) {
  return HostControl("{\"target\": \"xen3\", " + members + "}");
}

std::vector<Recorded> Requests() {
  const testjson::Value reply = Agent("\"cmd\": \"requests\"");
  std::vector<Recorded> out;
  for (const testjson::Value& item : reply["requests"].items) {
    Recorded r;
    r.conn = static_cast<int>(item["conn"].number);
    r.cmd = item["cmd"].isNull() ? std::string() : item["cmd"].text;
    r.raw = simtest::Base64Decode(item["raw"].text);
    out.push_back(r);
  }
  return out;
}

void ClearRequests() { Agent("\"cmd\": \"clear_requests\""); }

std::vector<std::string> Commands(const std::vector<Recorded>& requests) {
  std::vector<std::string> out;
  for (const Recorded& r : requests) out.push_back(r.cmd);
  return out;
}

testjson::Value BackChannels() { return Agent("\"cmd\": \"status\"")["back_channels"]; }

bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string Element(const std::string& key, const std::string& value) {
  return "(\"" + key + "\" \"" + value + "\")";
}

std::string Request(const std::string& cmd, const std::string* payload, const std::string& sessionId) {
  std::string text = "(\"msg\" " + Element("cmd", cmd);
  if (payload != nullptr) text += "(\"payload\" " + *payload + ")";
  return text + Element("session_id", sessionId) + Element("sync", "1") + ")\n\n";
}

std::string SessionIdOf(const std::string& raw) {
  const std::string key = "(\"session_id\" \"";
  const auto at = raw.find(key);
  if (at == std::string::npos) return {};
  const auto begin = at + key.size();
  return raw.substr(begin, raw.find('"', begin) - begin);
}

}  // namespace xen3test
