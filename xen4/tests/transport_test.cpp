// The HTTPS transport against the simulated server's self-signed certificate.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <stdexcept>
#include <string>

#include "xen4_address.h"
#include "xen4_test_support.h"
#include "xen4_transport.h"

using namespace xen4test;

namespace {

[[maybe_unused]] ::testing::Environment* const kCurl =
    ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

// A login the server refuses: a whole round trip that leaves no session behind.
const char kLogin[] =
    "<?xml version=\"1.0\"?><methodCall><methodName>session.login_with_password</methodName>"
    "<params><param><value>root</value></param><param><value>not the password</value></param></params>"
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

// One login POST through link (null: the defaults).
int Post(const Xen4Link* link, const std::string& url, Sink* sink = nullptr) {
  Sink own;
  Xen4Endpoint endpoint{link, url};
  return Xen4Transport(kLogin, sizeof kLogin - 1, &endpoint, sink ? sink : &own, &Collect);
}

int Get(const Xen4Link* link, const std::string& url) {
  long status = 0;
  std::string body;
  return Xen4Get(link, url, "text/xml", 1 << 20, &status, &body);
}

std::string CertFile(const char* preferred, const char* fallback) {
  const std::string dir = simtest::FromEnvironment().certs;
  const std::string first = dir + "/" + preferred;
  if (FILE* f = std::fopen(first.c_str(), "rb")) {
    std::fclose(f);
    return first;
  }
  return fallback ? dir + "/" + fallback : std::string();
}

// Sets (null: removes) a variable of this process's environment.
void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

std::string FirstLine(const std::string& path) {
  std::string line;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[512];
    if (std::fgets(buf, sizeof buf, f)) line = buf;
    std::fclose(f);
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

}  // namespace

TEST(Xen4Transport, PostsOverTlsAcceptingASelfSignedCertificate) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  Control(R"({"cmd": "reset"})");
  const std::string url = Url(XenApiPort());
  Sink sink;
  EXPECT_EQ(Post(nullptr, url, &sink), CURLE_OK);
  EXPECT_NE(sink.body.find("SESSION_AUTHENTICATION_FAILED"), std::string::npos) << sink.body;
  // One request, one new connection.
  EXPECT_EQ(Post(nullptr, url), CURLE_OK);
  const auto status = XenApi(R"("cmd": "status")");
  EXPECT_EQ(status["connections"].number, 2);
}

TEST(Xen4Transport, RefusedDataEndsTheTransferWithAWriteError) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  const std::string url = Url(XenApiPort());
  Sink sink;
  sink.refuse = true;
  EXPECT_EQ(Post(nullptr, url, &sink), CURLE_WRITE_ERROR);
  EXPECT_EQ(sink.calls, 1);
}

// The failure carries libcurl's detailed text with the system's reason: host, port and
// cause (not the time it took, so that the same failure reads the same).
TEST(Xen4Transport, UnreachableServerGivesTheConnectErrorWithItsDetail) {
  const std::string url = Url(1);  // nothing listens there
  Sink sink;
  const Xen4Link link;
  EXPECT_EQ(Post(&link, url, &sink), CURLE_COULDNT_CONNECT);
  EXPECT_EQ(sink.calls, 0);
  const std::string detail = link.LastTransfer().error;
  EXPECT_EQ(detail, "Failed to connect to 127.0.0.1 port 1: Connection refused");
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

// A CA file is the only trust (not the store the TLS library would find through its
// environment), the host name is checked, on the POSTs and the export GETs alike; a
// pinned key is checked without the chain. A refusal names the reason.
TEST(Xen4Transport, CaFileAndPinnedKeyAreCheckedOnEveryRequest) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  const std::string url = Url(XenApiPort()), exportUrl = url + "rrd_updates";
  const std::string ca = CertFile("xenapi-ca.pem", "ca.pem");
  // The default store of the TLS library, for this process, holds the right CA too.
  SetEnvironment("SSL_CERT_FILE", ca.c_str());
  Xen4Options right;
  right.caFile = ca;
  const Xen4Link rightLink(right);
  EXPECT_EQ(Post(&rightLink, url), CURLE_OK);
  EXPECT_EQ(Get(&rightLink, exportUrl), CURLE_OK);
  EXPECT_EQ(Post(&rightLink, "https://localhost:" + std::to_string(XenApiPort()) + "/"), CURLE_OK);

  Xen4Options unrelated;
  unrelated.caFile = CertFile("certChain.pem", nullptr);  // a certificate that signed nothing
  const Xen4Link unrelatedLink(unrelated);
  Sink sink;
  EXPECT_EQ(Post(&unrelatedLink, url, &sink), CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(sink.calls, 0);
  EXPECT_NE(unrelatedLink.LastTransfer().error.find("SSL certificate problem"), std::string::npos)
      << unrelatedLink.LastTransfer().error;
  EXPECT_EQ(Get(&unrelatedLink, exportUrl), CURLE_PEER_FAILED_VERIFICATION);
  SetEnvironment("SSL_CERT_FILE", nullptr);

  Xen4Options wrongPin;
  wrongPin.pinnedPublicKey = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
  const Xen4Link wrongPinLink(wrongPin);
  EXPECT_EQ(Post(&wrongPinLink, url), CURLE_SSL_PINNEDPUBKEYNOTMATCH);
  EXPECT_NE(wrongPinLink.LastTransfer().error.find("pinned public key"), std::string::npos)
      << wrongPinLink.LastTransfer().error;
  EXPECT_EQ(Get(&wrongPinLink, exportUrl), CURLE_SSL_PINNEDPUBKEYNOTMATCH);

  const std::string pinFile = CertFile("xenapi-pin.txt", nullptr);
  if (pinFile.empty()) GTEST_SKIP() << "the simulated host publishes no pin";
  Xen4Options pinned;
  pinned.pinnedPublicKey = FirstLine(pinFile);
  const Xen4Link pinnedLink(pinned);
  EXPECT_EQ(Post(&pinnedLink, url), CURLE_OK);
  EXPECT_EQ(Get(&pinnedLink, exportUrl), CURLE_OK);
}

// A request stuck on a silent server ends at once when Close aborts or the program
// cancels (its socket is shut down; libcurl's progress callback would see the flags only
// a second after the transfer began), and later ones are refused; the log-out is ended by
// neither. A deadline cuts every request so that a log-out still fits, and one past it is
// not sent at all.
TEST(Xen4Transport, AbortCancelAndDeadlineEndRequestsEarly) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  Control(R"({"cmd": "reset"})");
  XenApi(R"("cmd": "set_profile", "profile": "current")");
  const char kHangLogin[] = R"("cmd": "fault", "mode": "hang", "method": "session.login_with_password", "seconds": 20)";
  XenApi(kHangLogin);
  XenApi(R"("cmd": "fault", "mode": "hang", "method": "GET /rrd_updates", "seconds": 20)");
  const std::string url = Url(XenApiPort());
  using Clock = std::chrono::steady_clock;
  // Runs request, calls stop once the server has held it for a while (libcurl's wake-ups
  // of the connection's set-up are past), and returns how long the request went on after.
  const auto afterStop = [](const std::function<int()>& request, const std::string& method,
                            const std::function<void()>& stop, int expected) {
    XenApi(R"("cmd": "clear_calls")");
    Clock::time_point stopped{};
    std::thread stopper([&] {
      EXPECT_TRUE(WaitFor([&] { return Count(Calls(), method) > 0; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      stopped = Clock::now();
      stop();
    });
    EXPECT_EQ(request(), expected);
    const auto ended = Clock::now();
    stopper.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(ended - stopped);
  };
#ifdef _WIN32
  // Under Wine a shut-down socket does not wake libcurl's wait: the progress callback ends
  // the transfer, within about a second.
  const auto atOnce = std::chrono::milliseconds(5000);
#else
  const auto atOnce = std::chrono::milliseconds(500);
#endif
  {
    Xen4Link link;
    const auto took = afterStop([&] { return Get(&link, url + "rrd_updates"); }, "GET /rrd_updates",
                                [&] { link.Abort(); }, CURLE_ABORTED_BY_CALLBACK);
    EXPECT_LT(took, atOnce) << took.count() << " ms";
    EXPECT_EQ(link.LastTransfer().error, "the session is closing");
    EXPECT_EQ(Post(&link, url), CURLE_ABORTED_BY_CALLBACK);  // refused while aborted
  }
  {
    Xen4Options options;
    options.cancel = std::make_shared<Xen4Cancel>();
    const Xen4Link link(options);
    const auto took = afterStop([&] { return Post(&link, url); }, "session.login_with_password",
                                [&] { options.cancel->Cancel(); }, CURLE_ABORTED_BY_CALLBACK);
    EXPECT_LT(took, atOnce) << took.count() << " ms";
    EXPECT_EQ(link.LastTransfer().error, "cancelled");
    EXPECT_EQ(link.LimitMs(Xen4Request::Logout), kCancelledLogoutMs);
  }
  {
    // A log-out answered late, aborted and cancelled while it waits.
    XenApi(R"("cmd": "clear_faults")");
    XenApi(R"("cmd": "fault", "mode": "delay", "method": "session.login_with_password", "seconds": 1)");
    Xen4Options options;
    options.cancel = std::make_shared<Xen4Cancel>();
    Xen4Link link(options);
    Sink sink;
    Xen4Endpoint endpoint{&link, url};
    afterStop([&] { return Xen4TransportBounded(kLogin, sizeof kLogin - 1, &endpoint, &sink, &Collect); },
              "session.login_with_password",
              [&] {
                link.Abort();
                options.cancel->Cancel();
              },
              CURLE_OK);
    EXPECT_NE(sink.body.find("SESSION_AUTHENTICATION_FAILED"), std::string::npos) << sink.body;
    XenApi(R"("cmd": "clear_faults")");
    XenApi(kHangLogin);
  }
  {
    Xen4Options options;
    options.deadline = Clock::now() + std::chrono::milliseconds(kDeadlineReserveMs + 1000);
    const Xen4Link link(options);
    const auto begin = Clock::now();
    EXPECT_EQ(Post(&link, url), CURLE_OPERATION_TIMEDOUT);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
    EXPECT_TRUE(link.PastDeadline());
    XenApi(R"("cmd": "clear_calls")");
    EXPECT_EQ(Post(&link, url), CURLE_OPERATION_TIMEDOUT);
    EXPECT_TRUE(Calls().empty());  // not sent
    EXPECT_GT(link.LimitMs(Xen4Request::Logout), 0);
    // A hung export leaves the check time for the rest of its pass.
    options.deadline = Clock::now() + std::chrono::milliseconds(kDeadlineReserveMs + 30000);
    const Xen4Link roomy(options);
    EXPECT_LE(roomy.LimitMs(Xen4Request::Export), 10000);
    EXPECT_GT(roomy.LimitMs(Xen4Request::Export), 9000);
    EXPECT_GT(roomy.LimitMs(Xen4Request::Call), 29000);
    // A login may run into the reserve but its last second: a session made late is
    // still known, and logged out.
    EXPECT_GT(roomy.LimitMs(Xen4Request::Login), roomy.LimitMs(Xen4Request::Call) + 500);
    // Little time left: the export still gets no more than its minimum.
    options.deadline = Clock::now() + std::chrono::milliseconds(kDeadlineReserveMs + 2500);
    const Xen4Link tight(options);
    EXPECT_LE(tight.LimitMs(Xen4Request::Export), kExportMinimumMs);
  }
  XenApi(R"("cmd": "clear_faults")");
}

TEST(Xen4Transport, UrlsAndAddresses) {
  EXPECT_EQ(Xen4Url("fd00::1", 443), "https://[fd00::1]:443/");
  EXPECT_EQ(Xen4Url("[::1]", 8443, "/rrd_updates"), "https://[::1]:8443/rrd_updates");
  EXPECT_EQ(Xen4Url("host.example", 443), "https://host.example:443/");
  EXPECT_TRUE(Xen4SameAddress("[fd00::1]", "fd00:0:0::1"));
  EXPECT_TRUE(Xen4SameAddress("Member02", "member02"));
  EXPECT_FALSE(Xen4SameAddress("127.0.0.1", "127.0.0.2"));
  EXPECT_FALSE(Xen4SameAddress("", ""));
  // A text that would reach another host than it seems to name (a server's answer, say)
  // makes no URL.
  for (const char* hostile : {"evil@127.0.0.1", "127.0.0.1/x", "h#frag", "h?q", "[host]", "", "fe80::1%eth0",
                              "a b", "h:99"})
    EXPECT_THROW(Xen4Url(hostile, 443), std::invalid_argument) << hostile;
  const auto local = Xen4Resolve("localhost");
  EXPECT_TRUE(std::any_of(local.begin(), local.end(), [](const std::string& a) {
    return Xen4SameAddress(a, "127.0.0.1") || Xen4SameAddress(a, "::1");
  }));
}

// Hosts are reached directly, whatever proxy the environment names.
TEST(Xen4Transport, IgnoresProxiesOfTheEnvironment) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  SetEnvironment("https_proxy", "http://127.0.0.1:1");
  SetEnvironment("ALL_PROXY", "http://127.0.0.1:1");
  const int result = Post(nullptr, Url(XenApiPort()));
  SetEnvironment("https_proxy", nullptr);
  SetEnvironment("ALL_PROXY", nullptr);
  EXPECT_EQ(result, CURLE_OK);
}
