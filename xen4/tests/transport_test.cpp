// The HTTPS transport against the simulated server's self-signed certificate.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "xen4_test_support.h"
#include "xen4_transport.h"

using namespace xen4test;

namespace {

[[maybe_unused]] ::testing::Environment* const kCurl =
    ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

const char kLogin[] =
    "<?xml version=\"1.0\"?><methodCall><methodName>session.login_with_password</methodName>"
    "<params><param><value>root</value></param><param><value>xenroot</value></param></params>"
    "</methodCall>";

struct Sink {
  std::string body;
  int calls = 0;
  bool refuse = false;
};

bool Collect(const void* data, size_t length, void* handle) {
  auto* sink = static_cast<Sink*>(handle);
  ++sink->calls;
  if (sink->refuse) return false;
  sink->body.append(static_cast<const char*>(data), length);
  return true;
}

std::string Url(int port) { return "https://127.0.0.1:" + std::to_string(port) + "/"; }

}  // namespace

TEST(Xen4Transport, PostsOverTlsAcceptingASelfSignedCertificate) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  Control(R"({"cmd": "reset"})");
  const std::string url = Url(XenApiPort());
  Sink sink;
  const int code = Xen4Transport(kLogin, sizeof kLogin - 1, const_cast<char*>(url.c_str()), &sink, &Collect);
  EXPECT_EQ(code, CURLE_OK);
  EXPECT_NE(sink.body.find("Success"), std::string::npos) << sink.body;
  EXPECT_NE(sink.body.find("OpaqueRef:"), std::string::npos);
  // One request, one new connection.
  Sink again;
  EXPECT_EQ(Xen4Transport(kLogin, sizeof kLogin - 1, const_cast<char*>(url.c_str()), &again, &Collect), CURLE_OK);
  const auto status = XenApi(R"("cmd": "status")");
  EXPECT_EQ(status["connections"].number, 2);
}

TEST(Xen4Transport, RefusedDataEndsTheTransferWithAWriteError) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  const std::string url = Url(XenApiPort());
  Sink sink;
  sink.refuse = true;
  EXPECT_EQ(Xen4Transport(kLogin, sizeof kLogin - 1, const_cast<char*>(url.c_str()), &sink, &Collect),
            CURLE_WRITE_ERROR);
  EXPECT_EQ(sink.calls, 1);
}

TEST(Xen4Transport, UnreachableServerGivesTheConnectError) {
  const std::string url = Url(1);  // nothing listens there
  Sink sink;
  EXPECT_EQ(Xen4Transport(kLogin, sizeof kLogin - 1, const_cast<char*>(url.c_str()), &sink, &Collect),
            CURLE_COULDNT_CONNECT);
  EXPECT_EQ(sink.calls, 0);
}

TEST(Xen4Transport, ReceiveFunctionPassesSizeTimesCountOrRefuses) {
  Sink sink;
  Xen4ResultTarget target{&Collect, &sink};
  char data[12] = "abcdefghijk";
  EXPECT_EQ(Xen4Receive(data, 3, 4, &target), 12u);
  EXPECT_EQ(sink.body, std::string(data, 12));
  sink.refuse = true;
  EXPECT_EQ(Xen4Receive(data, 1, 5, &target), 0u);
}

TEST(Xen4Transport, TrustedCertificatesAreVerifiedOnEveryRequest) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  const char* certs = std::getenv("VANTREL_SIM_CERTS");
  ASSERT_NE(certs, nullptr);
  const std::string url = Url(XenApiPort());
  const auto post = [&] {
    Sink sink;
    return Xen4Transport(kLogin, sizeof kLogin - 1, const_cast<char*>(url.c_str()), &sink, &Collect);
  };
  const auto get = [&] {
    long status = 0;
    std::string body;
    return Xen4Get(url + "rrd_updates", "text/xml", 1 << 20, &status, &body);
  };
  Xen4TrustCertificatesFrom(std::string(certs) + "/ca.pem");  // the server's CA
  EXPECT_EQ(post(), CURLE_OK);
  EXPECT_EQ(get(), CURLE_OK);
  Xen4TrustCertificatesFrom(std::string(certs) + "/certChain.pem");  // another certificate
  EXPECT_EQ(post(), CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(get(), CURLE_PEER_FAILED_VERIFICATION);
  Xen4TrustCertificatesFrom("");
  EXPECT_EQ(post(), CURLE_OK);
}
