// Speed of the xen4 back end against the simulated XenAPI server: Connect, one refresh
// pass and Close with 1, 100 and 1,000 VMs, compared with the floor: a minimal client
// that makes the same number of HTTPS POSTs (a new connection each) to the same server.
//
// Runs beside the simulated host:
//   python3 sim/xensim.py --certs BUILD/sim-certs -- BUILD/bench/xen4/xen4_bench OUT.md [COUNTS...]
// (bench/xen4/run.sh BUILD OUT.md does exactly that). Prints the results and writes a
// markdown table to OUT.md. COUNTS defaults to 1 100 1000.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim_client.h"
#include "xen4_session.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Control(const std::string& line) {
  const std::string reply = simtest::Control(line);
  if (!simtest::ReplyOk(reply)) throw std::runtime_error("control: " + line.substr(0, 80) + " -> " + reply);
  return reply;
}

long CallCount() {
  const std::string reply = Control(R"({"target": "xenapi", "cmd": "calls"})");
  const auto at = reply.find("\"count\":");
  if (at == std::string::npos) throw std::runtime_error("no call count in " + reply.substr(0, 80));
  return std::strtol(reply.c_str() + at + 8, nullptr, 10);
}

void ClearCalls() { Control(R"({"target": "xenapi", "cmd": "clear_calls"})"); }

// N running guests with one VIF and one VBD each, plus a template and the control domain.
std::string Inventory(int vms) {
  std::ostringstream o;
  o << R"({"cmd": "load", "inventory": {"host": {"name": "benchhost", "description": "bench", )"
    << R"("product_version": "6.0.2", "memory_mib": 262144, "free_memory_mib": 65536, )"
    << R"("cpu_utilisation": [0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8], )"
    << R"("pifs": [{"read_kbs": 1.0, "write_kbs": 2.0}, {"read_kbs": 3.0, "write_kbs": 4.0}]}, "vms": [)";
  for (int i = 0; i < vms; ++i) {
    char uuid[40];
    std::snprintf(uuid, sizeof uuid, "00000000-0000-4000-8000-%012d", i + 1);
    o << R"({"uuid": ")" << uuid << R"(", "name": "vm)" << i << R"(", "power_state": "Running", )"
      << R"("vcpus": 2, "vcpu_utilisation": [0.2, 0.4], "memory_mib": 4096, "memory_free_mib": 1024, )"
      << R"("vifs": [{"read_kbs": 1.0, "write_kbs": 1.0}], "vbds": [{"read_kbs": 5.0, "write_kbs": 5.0}]},)";
  }
  o << R"({"uuid": "00000000-0000-4000-9000-000000000001", "name": "template", "is_a_template": true},)"
    << R"({"uuid": "00000000-0000-4000-9000-000000000002", "name": "dom0", "is_control_domain": true}]}})";
  return o.str();
}

// The floor: `count` POSTs of a small call, each with a new easy handle (a new TLS
// connection), the response read and thrown away.
size_t Discard(char*, size_t size, size_t n, void*) { return size * n; }

size_t Keep(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

std::string Post(const std::string& url, const std::string& body, bool keep) {
  std::string response;
  CURL* curl = curl_easy_init();
  if (!curl) throw std::runtime_error("curl_easy_init failed");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keep ? &Keep : &Discard);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK) throw std::runtime_error(std::string("floor POST: ") + curl_easy_strerror(rc));
  return response;
}

double Floor(const std::string& url, long count) {
  const std::string login =
      "<?xml version=\"1.0\"?><methodCall><methodName>session.login_with_password</methodName><params>"
      "<param><value>root</value></param><param><value>xenroot</value></param></params></methodCall>";
  const std::string reply = Post(url, login, true);
  const auto at = reply.find("OpaqueRef:");
  if (at == std::string::npos) throw std::runtime_error("floor login failed");
  const std::string session = reply.substr(at, reply.find('<', at) - at);
  const std::string call = "<?xml version=\"1.0\"?><methodCall><methodName>session.get_this_host</methodName>"
                           "<params><param><value>" + session + "</value></param><param><value>" + session +
                           "</value></param></params></methodCall>";
  const auto t0 = Clock::now();
  for (long i = 0; i < count; ++i) Post(url, call, false);
  return Seconds(Clock::now() - t0);
}

struct Phase {
  const char* name;
  double seconds = 0;
  long requests = 0;
  double floor = 0;
};

struct Row {
  int vms;
  Phase phases[3] = {{"Connect"}, {"refresh pass"}, {"Close"}};
};

Row Measure(int vms, const std::string& url, int port) {
  Control(Inventory(vms));
  Control(R"({"target": "xenapi", "cmd": "freeze_figures", "at": 1000})");
  Row row{vms};
  Xen4SessionImpl s(3600);  // one pass, then a long wait
  ClearCalls();
  const auto t0 = Clock::now();
  s.Connect("127.0.0.1", "root", "xenroot", port);
  const auto t1 = Clock::now();
  // The refresh thread starts its first pass as Connect returns; it is over when its
  // last VM has been written.
  const long connectCalls = CallCount();
  const Xen4VMImpl& last = s.OwnVm(s.OwnVmCount() - 1);
  for (;;) {
    {
      std::lock_guard<std::mutex> g(last.Lock());
      if (last.GetStatus() != "UNKNOWN") break;
    }
    if (!s.IsRefreshRunning()) throw std::runtime_error("refresh pass failed");
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const auto t2 = Clock::now();
  const long passCalls = CallCount() - connectCalls;
  ClearCalls();
  const auto t3 = Clock::now();
  s.Close();
  const auto t4 = Clock::now();
  const long closeCalls = CallCount();
  if (s.OwnVmCount() != vms) throw std::runtime_error("VM count differs");

  row.phases[0].seconds = Seconds(t1 - t0);
  row.phases[0].requests = connectCalls;
  row.phases[1].seconds = Seconds(t2 - t1);
  row.phases[1].requests = passCalls;
  row.phases[2].seconds = Seconds(t4 - t3);
  row.phases[2].requests = closeCalls;
  for (Phase& p : row.phases) p.floor = Floor(url, p.requests);
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.md [VM-COUNTS...]   (beside sim/xensim.py)\n", argv[0]);
    return 2;
  }
  if (!simtest::Available()) {
    std::fprintf(stderr, "run beside the simulated host: python3 sim/xensim.py -- %s OUT.md\n", argv[0]);
    return 2;
  }
  std::vector<int> counts;
  for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1, 100, 1000};

  curl_global_init(CURL_GLOBAL_ALL);
  const int port = simtest::FromEnvironment().xenapiPort;
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
  std::vector<Row> rows;
  try {
    Control(R"({"cmd": "reset"})");
    for (int n : counts) {
      std::printf("measuring %d VMs...\n", n);
      std::fflush(stdout);
      rows.push_back(Measure(n, url, port));
    }
    Control(R"({"cmd": "reset"})");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xen4_bench: %s\n", e.what());
    return 1;
  }
  curl_global_cleanup();

  std::ostringstream md;
  md << "# xen4 back end against the simulated XenAPI server\n\n"
     << "Floor: a minimal libcurl client making the same number of HTTPS POSTs "
        "(session.get_this_host, a new connection each) to the same server. "
        "Target: ratio within 1.2.\n\n"
     << "| VMs | phase | requests | time (s) | per request (ms) | floor (s) | ratio | requests per VM |\n"
     << "|---:|---|---:|---:|---:|---:|---:|---:|\n";
  bool within = true;
  for (const Row& r : rows) {
    for (const Phase& p : r.phases) {
      const double ratio = p.floor > 0 ? p.seconds / p.floor : 0.0;
      if (p.requests > 0 && ratio > 1.2) within = false;
      char line[256];
      std::snprintf(line, sizeof line, "| %d | %s | %ld | %.3f | %.2f | %.3f | %.2f | %.1f |\n", r.vms, p.name,
                    p.requests, p.seconds, p.requests ? 1000.0 * p.seconds / static_cast<double>(p.requests) : 0.0,
                    p.floor, ratio, static_cast<double>(p.requests) / r.vms);
      md << line;
    }
  }
  md << "\nCost grows linearly with the VM count: Connect makes 7 requests per VM "
        "(two flags, the record, one metrics reference per VIF and VBD, VM metrics, guest "
        "metrics) plus a fixed 6 + PIFs; a refresh pass makes 2 per VM plus one per VIF "
        "and VBD, plus 1 + CPUs + PIFs; Close makes one (the logout).\n"
     << "\nResult: " << (within ? "every phase within 1.2 of the floor" : "some phase above 1.2 of the floor") << ".\n";
  std::printf("%s", md.str().c_str());
  std::ofstream out(argv[1], std::ios::trunc);
  out << md.str();
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
