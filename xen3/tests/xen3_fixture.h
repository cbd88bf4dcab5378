// The fixture of the tests that run against the simulated agent.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform.h"
#include "sim_client.h"
#include "xen3_session.h"
#include "xen3_test_support.h"

namespace xen3test {

class AgentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(simtest::Available()) << "run beside sim/xensim.py (ctest does)";
    // A static library linked into the test looks for its files next to the executable.
    simtest::CopyClientCertificates(platform::LibraryDirectory());
  }

  void SetUp() override {
    HostControl("{\"cmd\": \"reset\"}");
    HostControl("{\"cmd\": \"set_transition\", \"seconds\": 0}");
    port_ = simtest::FromEnvironment().xen3Port;
  }

  std::unique_ptr<Xen3SessionImpl> Connect(int32_t dataInterval = 1, const std::string& user = "root",
                                           const std::string& password = "xenroot") {
    auto session = std::make_unique<Xen3SessionImpl>(dataInterval);
    session->Connect("127.0.0.1", user, password, port_);
    return session;
  }

  int port_ = 0;
};

}  // namespace xen3test
