// check_xenvm: is a VM on a Xen host in the expected state? A monitoring plug-in for
// Linux hosts (Nagios, Icinga, Naemon and the like) on the connector's back ends, with the
// sentences of the Windows check, performance data and the usual exit codes.
#include <getopt.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/text.h"
#include "params.h"
#include "platform.h"
#include "session_impl.h"
#include "session_settings.h"
#include "thresholds.h"
#include "tls_verify.h"
#include "vm_impl.h"
#include "xen4_transport.h"

#ifndef CHECK_XENVM_VERSION
#define CHECK_XENVM_VERSION "0"
#endif
#ifndef CHECK_XENVM_CONFDIR
#define CHECK_XENVM_CONFDIR "/etc/check_xenvm"
#endif

namespace {

enum ExitCode { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char* const kStateWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// A usage error: UNKNOWN with the message and the short usage.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const char kUsage[] =
    "Usage: check_xenvm -H HOST [-p PORT] [-P 3|4|auto] -u USER\n"
    "         [--password-file FILE] [-m VM] [-s STATE] [-w THRESHOLDS]\n"
    "         [-c THRESHOLDS] [-t SECONDS] [--certs DIR] [--ca-file FILE]\n"
    "         [--parameter '#VSTP=XEN#USR=...#PWD=...#XVR=4#VMN=...#VMS=UP#']\n"
    "         [-v] [-V] [-h]\n";

const char kHelp[] =
    "Checks that a virtual machine on a Xen host is in the expected state, or\n"
    "counts the host's virtual machines, and reports the load figures as\n"
    "performance data.\n"
    "\n"
    "Options:\n"
    " -H, --host HOST        the Xen host\n"
    " -p, --port PORT        TCP port (default 443 for -P 4, 6936 for -P 3;\n"
    "                        not used by auto)\n"
    " -P, --protocol 3|4|auto\n"
    "                        4 XenAPI (default), 3 the xen3 agent, auto the agent\n"
    "                        first, then XenAPI\n"
    " -u, --user USER        user name\n"
    "     --password-file FILE\n"
    "                        the password is the file's first line; otherwise the\n"
    "                        environment variable XEN_PASSWORD. Never on the\n"
    "                        command line.\n"
    " -m, --vm VM            the virtual machine's name (exact, case-sensitive);\n"
    "                        without it the host's virtual machines are counted\n"
    " -s, --state STATE      expected state of the VM (default UP)\n"
    " -w, --warning LIST     warning thresholds:\n"
    "                        cpu=RANGE,memory=RANGE,network=RANGE,disk=RANGE\n"
    " -c, --critical LIST    critical thresholds, the same form\n"
    "                        RANGE: 80 (alert above 80 or below 0), 10: (below 10),\n"
    "                        ~:20 (above 20), @10:20 (from 10 to 20)\n"
    " -t, --timeout SECONDS  deadline for the whole check (default 30)\n"
    "     --parameter TEXT   the Windows check's parameter string (user, Base64\n"
    "                        password, Xen version, VM and state); options given\n"
    "                        as well win\n"
    "     --certs DIR        the xen3 client certificates xencert.pem,\n"
    "                        certChain.pem and key.pem (default " CHECK_XENVM_CONFDIR ")\n"
    "     --ca-file FILE     XenAPI: verify the host's certificate against this CA or\n"
    "                        pinned certificate (by default it is not verified)\n"
    " -v, --verbose          the host's and the VM's figures in words on further\n"
    "                        lines\n"
    " -V, --version          print the version\n"
    " -h, --help             print this help\n"
    "\n"
    "Figures: cpu and memory in percent, network and disk in KiB/s.\n"
    "\n"
    "Examples:\n"
    "  XEN_PASSWORD=secret check_xenvm -H xenhost01 -u root -m web01 \\\n"
    "      -w cpu=80 -c cpu=95\n"
    "  check_xenvm -H xenhost01 -P 3 -u root \\\n"
    "      --password-file /etc/check_xenvm/password --certs /etc/check_xenvm \\\n"
    "      -m db01 -s UP\n";

struct Options {
  std::string host;
  int port = -1;
  std::string protocol = "4";
  std::string user;
  std::string passwordFile;
  std::string vm;
  std::string state = "UP";
  std::string warning, critical;
  int timeout = 30;
  std::string parameter;
  std::string certs = CHECK_XENVM_CONFDIR;
  std::string caFile;
  bool verbose = false;
  bool version = false;
  bool help = false;
  // Given on the command line (they win over the parameter string).
  bool haveUser = false, haveVm = false, haveState = false, haveProtocol = false;
};

// The output goes to standard output only, once, by whoever comes first: the check or
// the deadline.
class Reporter {
 public:
  // Prints and returns true unless a report was already printed.
  bool Report(ExitCode code, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (reported_) return false;
    reported_ = true;
    code_ = code;
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return true;
  }
  ExitCode Code() {
    std::lock_guard<std::mutex> guard(lock_);
    return code_;
  }

 private:
  std::mutex lock_;
  bool reported_ = false;
  ExitCode code_ = kUnknown;
};

std::string Line(ExitCode code, const std::string& text) {
  return std::string("XEN ") + kStateWords[code] + " - " + text + "\n";
}

// The deadline: when the check has not finished by then, UNKNOWN is reported and the
// process ends without waiting for the connection. Once the check has reported, the
// same deadline still bounds its clean-up (the log-out), with the code already printed.
class Watchdog {
 public:
  Watchdog(Reporter& reporter, int seconds)
      : reporter_(reporter), seconds_(seconds),
        deadline_(std::chrono::steady_clock::now() + std::chrono::seconds(seconds)) {
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(lock_);
      if (cv_.wait_until(lock, deadline_, [this] { return finished_; })) return;
      reporter_.Report(kUnknown, Line(kUnknown, "no answer within " + std::to_string(seconds_) + " s"));
      std::_Exit(reporter_.Code());
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      finished_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  std::chrono::steady_clock::time_point Deadline() const { return deadline_; }

 private:
  Reporter& reporter_;
  const int seconds_;
  const std::chrono::steady_clock::time_point deadline_;
  std::mutex lock_;
  std::condition_variable cv_;
  bool finished_ = false;
  std::thread thread_;
};

// A connected session, closed and released in the order the model asks for: the VMs
// detached first, then Close, then the session.
class Connection {
 public:
  explicit Connection(XenSessionImpl* session) : session_(session) {}
  ~Connection() {
    for (int32_t i = 0; i < list_.GetCount(); ++i) list_.Detach(i);
    try {
      session_->Close();
    } catch (const std::exception&) {
      // The outcome is already reported; a failed log-out changes nothing.
    }
  }
  XenSessionImpl& Session() { return *session_; }
  OwnedVmList& List() { return list_; }

 private:
  std::unique_ptr<XenSessionImpl> session_;
  OwnedVmList list_;
};

// Waits until the session holds live figures, not only what Connect read (for xen3 the
// first summary the agent pushes, for XenAPI the first refresh pass), at most until the
// deadline, and copies them. A connection lost meanwhile fails in Update with its message.
void WaitForFigures(Connection& connection, std::chrono::steady_clock::time_point deadline, int seconds) {
  XenSessionImpl& session = connection.Session();
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  const bool in = session.WaitForFigures(std::max(left, std::chrono::milliseconds(0)));
  session.Update();
  if (!in) throw std::runtime_error("no answer within " + std::to_string(seconds) + " s");
}

std::string Fixed1(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

struct Figure {
  const char* name;       // threshold name
  const char* label;      // performance-data label
  const char* unit;       // "%" or ""
  const char* words;      // unit in words for the text
  double value;
  bool percent;
};

std::vector<Figure> FiguresOf(double cpu, double memory, double network, double disk) {
  return {{"cpu", "cpu", "%", "%", cpu, true},
          {"memory", "memory", "%", "%", memory, true},
          {"network", "network_kibps", "", " KiB/s", network, false},
          {"disk", "disk_kibps", "", " KiB/s", disk, false}};
}

struct Evaluation {
  ExitCode code = kOk;
  std::string notes;     // ", cpu 91.0% (warning 80)"
  std::string perfdata;  // "cpu=91.0%;80;;0;100 ..."
};

Evaluation Evaluate(const std::vector<Figure>& figures, const std::map<std::string, check::Range>& warning,
                    const std::map<std::string, check::Range>& critical) {
  Evaluation e;
  for (const Figure& f : figures) {
    const auto w = warning.find(f.name);
    const auto c = critical.find(f.name);
    const std::string value = Fixed1(f.value);
    if (c != critical.end() && c->second.Alerts(f.value)) {
      e.code = kCritical;
      e.notes += std::string(", ") + f.name + " " + value + f.words + " (critical " + c->second.text + ")";
    } else if (w != warning.end() && w->second.Alerts(f.value)) {
      if (e.code == kOk) e.code = kWarning;
      e.notes += std::string(", ") + f.name + " " + value + f.words + " (warning " + w->second.text + ")";
    }
    if (!e.perfdata.empty()) e.perfdata += " ";
    e.perfdata += std::string(f.label) + "=" + value + f.unit + ";" +
                  (w != warning.end() ? w->second.text : "") + ";" +
                  (c != critical.end() ? c->second.text : "") + ";0" + (f.percent ? ";100" : "");
  }
  return e;
}

ExitCode Worst(ExitCode a, ExitCode b) { return a > b ? a : b; }

std::string ReadPasswordFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read the password file " + path);
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

int ParseInt(const std::string& text, const char* what, int low, int high) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high)
    throw UsageError(std::string("invalid ") + what + " '" + text + "'");
  return static_cast<int>(v);
}

// The password part of a parameter string is wiped from the process's argument list, so
// that it does not show in the process table longer than the start-up.
void WipePassword(char* parameter) {
  char* p = parameter;
  while ((p = std::strchr(p, '#')) != nullptr) {
    ++p;
    if (strncasecmp(p, "PWD=", 4) == 0) {
      for (char* q = p + 4; *q && *q != '#'; ++q) *q = '*';
    }
  }
}

Options ParseOptions(int argc, char** argv) {
  enum { kPasswordFile = 256, kParameter, kCerts, kCaFile, kPassword };
  static const option longOptions[] = {
      {"host", required_argument, nullptr, 'H'},      {"port", required_argument, nullptr, 'p'},
      {"protocol", required_argument, nullptr, 'P'},  {"user", required_argument, nullptr, 'u'},
      {"password-file", required_argument, nullptr, kPasswordFile},
      {"vm", required_argument, nullptr, 'm'},        {"state", required_argument, nullptr, 's'},
      {"warning", required_argument, nullptr, 'w'},   {"critical", required_argument, nullptr, 'c'},
      {"timeout", required_argument, nullptr, 't'},   {"parameter", required_argument, nullptr, kParameter},
      {"certs", required_argument, nullptr, kCerts},  {"ca-file", required_argument, nullptr, kCaFile},
      {"password", required_argument, nullptr, kPassword},
      {"verbose", no_argument, nullptr, 'v'},         {"version", no_argument, nullptr, 'V'},
      {"help", no_argument, nullptr, 'h'},            {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;  // errors are reported here, on standard output
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, ":H:p:P:u:a:m:s:w:c:t:vVh", longOptions, nullptr)) != -1) {
    switch (c) {
      case 'H': o.host = optarg; break;
      case 'p': o.port = ParseInt(optarg, "port", 1, 65535); break;
      case 'P': o.protocol = optarg; o.haveProtocol = true; break;
      case 'u': o.user = optarg; o.haveUser = true; break;
      case kPasswordFile: o.passwordFile = optarg; break;
      case 'm': o.vm = optarg; o.haveVm = true; break;
      case 's': o.state = optarg; o.haveState = true; break;
      case 'w': o.warning = optarg; break;
      case 'c': o.critical = optarg; break;
      case 't': o.timeout = ParseInt(optarg, "timeout", 1, 86400); break;
      case kParameter: o.parameter = optarg; WipePassword(optarg); break;
      case kCerts: o.certs = optarg; break;
      case kCaFile: o.caFile = optarg; break;
      case 'a':
      case kPassword:
        throw UsageError("the password is not taken on the command line: use --password-file or XEN_PASSWORD");
      case 'v': o.verbose = true; break;
      case 'V': o.version = true; break;
      case 'h': o.help = true; break;
      case ':': throw UsageError(std::string("option ") + argv[optind - 1] + " needs a value");
      default: throw UsageError(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (optind < argc) throw UsageError(std::string("unexpected argument '") + argv[optind] + "'");
  return o;
}

struct Credentials {
  std::string user, password;
  int mode = kModeXen4Protocol;
};

Credentials Resolve(Options& o) {
  Credentials cr;
  bool havePassword = false;
  if (!o.parameter.empty()) {
    const std::wstring text = base::ToWide(o.parameter);
    const auto value = [&](const wchar_t* key) { return base::ToNarrow(brenmo::LookupValue(text, key)); };
    if (!o.haveUser) o.user = value(L"USR");
    if (!o.haveVm) o.vm = value(L"VMN");
    const std::string state = value(L"VMS");
    if (!o.haveState && !state.empty()) o.state = state;
    if (!o.haveProtocol) o.protocol = brenmo::SelectsXen3(brenmo::LookupValue(text, L"XVR")) ? "3" : "4";
    const std::optional<std::string> decoded = brenmo::Base64Decode(brenmo::LookupValue(text, L"PWD"));
    if (!decoded) throw UsageError("the password in the parameter string is not Base64");
    cr.password = *decoded;
    havePassword = true;
  }
  if (!o.passwordFile.empty()) {
    cr.password = ReadPasswordFile(o.passwordFile);
    havePassword = true;
  } else if (const char* env = std::getenv("XEN_PASSWORD")) {
    if (!havePassword) cr.password = env;
    havePassword = true;
  }
  if (o.host.empty()) throw UsageError("no host given (-H)");
  if (o.user.empty()) throw UsageError("no user given (-u)");
  if (!havePassword) throw UsageError("no password: use --password-file FILE or XEN_PASSWORD");
  if (o.protocol == "3") {
    cr.mode = kModeXen3Protocol;
  } else if (o.protocol == "4") {
    cr.mode = kModeXen4Protocol;
  } else if (o.protocol == "auto") {
    cr.mode = kModeAutodetect;
  } else {
    throw UsageError("invalid protocol '" + o.protocol + "' (3, 4 or auto)");
  }
  if (!o.caFile.empty() && cr.mode != kModeXen4Protocol)
    throw UsageError("--ca-file applies to XenAPI (-P 4)");
  cr.user = o.user;
  return cr;
}

std::string HostWords(XenSessionImpl& s) {
  return "Host " + s.GetServerName() + " (Xen " + s.GetXenVersion() + "): " + std::to_string(s.GetNumCpus()) +
         " CPUs, " + std::to_string(s.GetMemory()) + " MiB, cpu " + Fixed1(s.GetCpuUsage()) + "%, memory " +
         Fixed1(s.GetMemoryUsage()) + "%, network " + Fixed1(s.GetNetworkIO()) + " KiB/s, disk " +
         Fixed1(s.GetDiskIO()) + " KiB/s\n";
}

std::string VmWords(const XenVMImpl& vm) {
  return "VM " + vm.GetName() + ": " + vm.GetStatus() + ", " + std::to_string(vm.GetNumCpus()) + " vCPUs, " +
         std::to_string(vm.GetMemory()) + " MiB, cpu " + Fixed1(vm.GetCpuUsage()) + "%, memory " +
         Fixed1(vm.GetMemoryUsage()) + "%, network " + Fixed1(vm.GetNetworkIO()) + " KiB/s, disk " +
         Fixed1(vm.GetDiskIO()) + " KiB/s\n";
}

// The Windows check's procedure with figures added, on an open connection.
std::pair<ExitCode, std::string> Assess(Connection& connection, const Options& o,
                                        const std::map<std::string, check::Range>& warning,
                                        const std::map<std::string, check::Range>& critical,
                                        std::chrono::steady_clock::time_point deadline) {
  XenSessionImpl& session = connection.Session();
  session.FillVMList(&connection.List());
  WaitForFigures(connection, deadline, o.timeout);

  OwnedVmList& list = connection.List();
  const XenVMImpl* found = nullptr;
  int running = 0;
  for (int32_t i = 0; i < list.GetCount(); ++i) {
    const XenVMImpl* vm = list.GetItem(i);
    if (vm->GetStatus() == "UP") ++running;
    if (vm->GetName() == o.vm) found = vm;  // of equal names the last counts
  }

  const auto hostFigures = [&] {
    return FiguresOf(session.GetCpuUsage(), session.GetMemoryUsage(), session.GetNetworkIO(), session.GetDiskIO());
  };
  std::string verbose = o.verbose ? HostWords(session) : std::string();
  const int count = list.GetCount();
  const std::string counts = " vms=" + std::to_string(count) + " running=" + std::to_string(running);

  if (count == 0) {
    const Evaluation e = Evaluate(hostFigures(), warning, critical);
    return {kCritical, Line(kCritical, "No registered virtual machines on this server | " + e.perfdata + counts) +
                           verbose};
  }
  if (o.vm.empty()) {
    const Evaluation e = Evaluate(hostFigures(), warning, critical);
    return {e.code, Line(e.code, std::to_string(count) + " registered virtual machine(s) on this server" + e.notes +
                                     " | " + e.perfdata + counts) +
                        verbose};
  }
  if (!found) {
    return {kCritical, Line(kCritical, "Can't get the state of this (" + o.vm +
                                           ") virtual machine, it's not listed as a known one") +
                           verbose};
  }
  if (o.verbose) verbose += VmWords(*found);
  const Evaluation e = Evaluate(
      FiguresOf(found->GetCpuUsage(), found->GetMemoryUsage(), found->GetNetworkIO(), found->GetDiskIO()), warning,
      critical);
  const std::string& status = found->GetStatus();
  if (status == o.state) {
    return {e.code, Line(e.code, "Virtual machine (" + o.vm + ") is " + status + e.notes + " | " + e.perfdata) +
                        verbose};
  }
  return {Worst(kCritical, e.code),
          Line(kCritical, "Virtual machine (" + o.vm + ") is in a " + status + " state while it should be " + o.state +
                              e.notes + " | " + e.perfdata) +
              verbose};
}

// Reports the outcome as soon as it is known; the connection closes afterwards.
void RunCheck(Reporter& reporter, const Options& o, const Credentials& cr,
              const std::map<std::string, check::Range>& warning,
              const std::map<std::string, check::Range>& critical,
              std::chrono::steady_clock::time_point deadline) {
  if (!o.caFile.empty()) {
    // First on a connection of its own, which gives the TLS library's reason when the
    // certificate does not verify; then every request of the check verifies it again.
    check::VerifyServerCertificate(o.host, o.port > 0 ? o.port : SessionSettings::kXen4Port, o.caFile);
    Xen4TrustCertificatesFrom(o.caFile);
  }
  SessionSettings settings;
  settings.SetConnectionMode(cr.mode);
  if (o.port > 0 && cr.mode != kModeAutodetect) settings.SetPort(o.port);
  Connection connection(settings.CreateSessionImpl(o.host, cr.user, cr.password));
  const std::pair<ExitCode, std::string> outcome = Assess(connection, o, warning, critical, deadline);
  reporter.Report(outcome.first, outcome.second);
}

// A message of the connector on one line: line breaks (XenAPI errors carry their
// parameters on lines of their own) become spaces.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text.empty() ? "unknown failure" : text;
}

// Swallows what is written to it: the xen3 frame receiver's trace lines.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

int main(int argc, char** argv) {
  // The xen3 receiver writes trace lines to std::cout; the report goes through stdio.
  // The buffer is never destroyed: std::cout is flushed at exit, after every static.
  std::cout.rdbuf(new NullBuffer);

  Reporter reporter;
  Options options;
  std::map<std::string, check::Range> warning, critical;
  Credentials credentials;
  try {
    options = ParseOptions(argc, argv);
    if (options.help) {
      std::fputs(kUsage, stdout);
      std::fputs("\n", stdout);
      std::fputs(kHelp, stdout);
      return kOk;
    }
    if (options.version) {
      std::fputs("check_xenvm " CHECK_XENVM_VERSION "\n", stdout);
      return kOk;
    }
    credentials = Resolve(options);
    if (!options.warning.empty()) warning = check::ParseThresholds(options.warning);
    if (!options.critical.empty()) critical = check::ParseThresholds(options.critical);
  } catch (const std::exception& e) {
    reporter.Report(kUnknown, Line(kUnknown, e.what()) + kUsage);
    return kUnknown;
  }

  // The connector looks for the xen3 client certificates beside its own code; here that
  // is the configured directory.
  platform::SetLibraryDirectory(options.certs);

  Watchdog watchdog(reporter, options.timeout);
  try {
    RunCheck(reporter, options, credentials, warning, critical, watchdog.Deadline());
  } catch (const std::exception& e) {
    // The connector's own message.
    reporter.Report(kUnknown, Line(kUnknown, OneLine(e.what())));
  }
  return reporter.Code();
}
