// check_xenvm: is a VM on a Xen host in the expected state? A monitoring plug-in for
// Linux hosts (Nagios, Icinga, Naemon and the like) on the connector's back ends, with the
// sentences of the Windows check, performance data and the usual exit codes.
#include <getopt.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <asio/error.hpp>

#include "base/text.h"
#include "figures.h"
#include "params.h"
#include "platform.h"
#include "session_impl.h"
#include "session_settings.h"
#include "thresholds.h"
#include "vm_impl.h"
#include "xen4_options.h"

#ifndef CHECK_XENVM_VERSION
#define CHECK_XENVM_VERSION "0"
#endif
#ifndef CHECK_XENVM_CONFDIR
#define CHECK_XENVM_CONFDIR "/etc/check_xenvm"
#endif

namespace {

using Clock = std::chrono::steady_clock;

enum ExitCode { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char* const kStateWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// The states -s takes: those of the Windows check's state list, which are also the texts
// the xen3 agent reports.
const char* const kKnownStates[] = {"UP", "DOWN", "PAUSED", "SUSPENDED"};

// A usage error: UNKNOWN with the message and the short usage.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const char kUsage[] =
    "Usage: check_xenvm -H HOST [-p PORT] [-P 3|4|auto] -u USER\n"
    "         [--password-file FILE] [-m VM] [-s UP|DOWN|PAUSED|SUSPENDED]\n"
    "         [-w THRESHOLDS] [-c THRESHOLDS] [-t SECONDS] [--certs DIR]\n"
    "         [--ca-file FILE] [--pin sha256//BASE64]\n"
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
    " -s, --state STATE      expected state of the VM: UP (default), DOWN, PAUSED\n"
    "                        or SUSPENDED, in capitals\n"
    " -w, --warning LIST     warning thresholds:\n"
    "                        cpu=RANGE,memory=RANGE,network=RANGE,disk=RANGE\n"
    " -c, --critical LIST    critical thresholds, the same form\n"
    "                        RANGE: 80 (alert above 80 or below 0), 10: (below 10),\n"
    "                        ~:20 (above 20), @10:20 (from 10 to 20)\n"
    " -t, --timeout SECONDS  deadline for the whole check, log-out included\n"
    "                        (default 30)\n"
    "     --parameter TEXT   the Windows check's parameter string (user, Base64\n"
    "                        password, Xen version, VM and state); options given\n"
    "                        as well win\n"
    "     --certs DIR        the xen3 client certificates xencert.pem,\n"
    "                        certChain.pem and key.pem (default " CHECK_XENVM_CONFDIR ")\n"
    "     --ca-file FILE     XenAPI: trust only the CA certificates in FILE, and\n"
    "                        check the host name against the host's certificate\n"
    "     --pin sha256//BASE64\n"
    "                        XenAPI: accept only a host whose public key has this\n"
    "                        SHA-256 (alternatives separated by ';')\n"
    "                        (without --ca-file and --pin the host is not verified)\n"
    " -v, --verbose          the host's and the VM's figures in words, with where\n"
    "                        each came from, on further lines\n"
    " -V, --version          print the version\n"
    " -h, --help             print this help\n"
    "\n"
    "Figures: cpu and memory in percent, network and disk in KiB/s. A figure the\n"
    "host did not measure has no performance data.\n"
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
  std::string pin;
  bool verbose = false;
  bool version = false;
  bool help = false;
  // Given on the command line (they win over the parameter string).
  bool haveUser = false, haveVm = false, haveState = false, haveProtocol = false;
};

// The output goes to standard output only, once, by whoever comes first: the check or
// the supervisor (deadline, signal).
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

// What the check is doing, for the messages of a time-out or a signal.
const char kStarting[] = "starting";
const char kConnecting[] = "opening the session";  // connection, log-in, first reads
const char kListing[] = "reading the virtual machines";
const char kWaiting[] = "waiting for the first figures";
const char kLoggingOut[] = "logging out";

// Thrown by the check's own waits.
struct TimedOut : std::runtime_error {
  TimedOut() : std::runtime_error("timed out") {}
};
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

// Watches the check from a thread of its own: the -t deadline and the engine's signals.
// SIGTERM and SIGINT are blocked in every thread (BlockSignals before any thread starts)
// and read here from a signalfd. On a signal the XenAPI session is cancelled: its requests
// in flight end at once, it logs out (a second at most), and the check reports UNKNOWN;
// when that takes more than a second, this thread reports and ends the process. At the
// deadline it reports UNKNOWN and ends the process. The check's own work ends a reserve
// before the deadline (WorkEnd), so that the log-out fits before it.
class Supervisor {
 public:
  static void BlockSignals() {
    sigset_t set = Signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }

  Supervisor(Reporter& reporter, int seconds, Clock::duration reserve)
      : reporter_(reporter), seconds_(seconds), deadline_(Clock::now() + std::chrono::seconds(seconds)),
        workEnd_(deadline_ - reserve), cancel_(std::make_shared<Xen4Cancel>()) {
    const sigset_t set = Signals();
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
    finishedFd_ = eventfd(0, EFD_CLOEXEC);
    if (signalFd_ < 0 || finishedFd_ < 0) {
      const int error = errno;
      if (signalFd_ >= 0) close(signalFd_);
      if (finishedFd_ >= 0) close(finishedFd_);
      throw std::system_error(error, std::generic_category(), "cannot watch the deadline and signals");
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~Supervisor() {
    const std::uint64_t one = 1;
    if (write(finishedFd_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) std::_Exit(reporter_.Code());
    thread_.join();
    close(signalFd_);
    close(finishedFd_);
  }
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  Clock::time_point Deadline() const { return deadline_; }
  Clock::time_point WorkEnd() const { return workEnd_; }
  const std::shared_ptr<Xen4Cancel>& Cancel() const { return cancel_; }
  void Enter(const char* phase) { phase_.store(phase); }
  bool Signalled() const { return signal_.load() != 0; }

  std::string TimeoutText() const {
    return "timed out after " + std::to_string(seconds_) + " s while " + phase_.load();
  }
  std::string SignalText() const {
    return std::string("terminated by ") + (signal_.load() == SIGINT ? "SIGINT" : "SIGTERM") + " while " +
           phase_.load();
  }

 private:
  static sigset_t Signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
  }

  static int MillisecondsUntil(Clock::time_point t) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1000 * 1000));
  }

  // Waits for the check's end or a signal until t. 1: finished, 2: a signal, 0: t passed.
  int WaitUntil(Clock::time_point t, bool signals) {
    for (;;) {
      pollfd fds[2] = {{finishedFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
      const int n = poll(fds, signals ? 2 : 1, MillisecondsUntil(t));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return 0;
      if (fds[0].revents) return 1;
      if (signals && fds[1].revents) {
        signalfd_siginfo info;
        if (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          signal_.store(static_cast<int>(info.ssi_signo));
          return 2;
        }
        continue;
      }
      if (Clock::now() >= t) return 0;
    }
  }

  void Run() {
    const int outcome = WaitUntil(deadline_, true);
    if (outcome == 1) return;
    if (outcome == 2) {
      // The session's requests end at once and it logs out; the check then reports. One
      // second for all of it, never beyond the deadline.
      cancel_->Cancel();
      if (WaitUntil(std::min(deadline_, Clock::now() + std::chrono::seconds(1)), false) == 1) return;
      reporter_.Report(kUnknown, Line(kUnknown, SignalText()));
    } else {
      reporter_.Report(kUnknown, Line(kUnknown, TimeoutText()));
    }
    std::_Exit(reporter_.Code());
  }

  Reporter& reporter_;
  const int seconds_;
  const Clock::time_point deadline_;
  const Clock::time_point workEnd_;
  const std::shared_ptr<Xen4Cancel> cancel_;
  std::atomic<const char*> phase_{kStarting};
  std::atomic<int> signal_{0};
  int signalFd_ = -1;
  int finishedFd_ = -1;
  std::thread thread_;
};

// A connected session, closed and released in the order the model asks for: the VMs
// detached first, then Close (the log-out), then the session.
class Connection {
 public:
  Connection(std::unique_ptr<XenSessionImpl> session, Supervisor& supervisor)
      : session_(std::move(session)), supervisor_(supervisor) {}
  ~Connection() {
    supervisor_.Enter(kLoggingOut);
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
  Supervisor& supervisor_;
  OwnedVmList list_;
};

// Waits until the session holds live figures, not only what Connect read (for xen3 the
// first summary the agent pushes, for XenAPI the first refresh pass), and copies them.
// Waits in short steps, so that a signal ends the wait at once; a connection lost
// meanwhile fails in Update with its message; the wait ends at the supervisor's WorkEnd.
void WaitForFigures(XenSessionImpl& session, const Supervisor& supervisor) {
  const auto kStep = std::chrono::milliseconds(100);
  for (;;) {
    if (supervisor.Signalled()) throw Interrupted();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(supervisor.WorkEnd() - Clock::now());
    if (left.count() <= 0) throw TimedOut();
    const auto step = std::min(left, kStep);
    const auto begun = Clock::now();
    const bool in = session.WaitForFigures(step);
    session.Update();
    if (in) return;
    // An answer before the step has passed: the session knows its connection is gone.
    if (Clock::now() - begun < step / 2 && !supervisor.Signalled())
      throw std::runtime_error("the connection ended before the first figures");
  }
}

std::string Fixed1(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

struct FigureItem {
  const char* name;    // threshold name
  std::string label;   // performance-data label
  const char* unit;    // "%" or ""
  const char* words;   // unit in words for the text
  double value;
  bool percent;
  FigureSource source;  // None: not measured
};

// The four live figures of a host or a VM; the host's performance-data labels carry the
// prefix "host_", so that they never read as a VM's.
template <class Object>
std::vector<FigureItem> FiguresOf(const Object& o, bool host) {
  const std::string prefix = host ? "host_" : "";
  // The sources first: a figure's value is written before its source.
  const FigureSource cpu = o.GetFigureSource(Figure::Cpu), memory = o.GetFigureSource(Figure::Memory),
                     network = o.GetFigureSource(Figure::Network), disk = o.GetFigureSource(Figure::Disk);
  return {{"cpu", prefix + "cpu", "%", "%", o.GetCpuUsage(), true, cpu},
          {"memory", prefix + "memory", "%", "%", o.GetMemoryUsage(), true, memory},
          {"network", prefix + "network_kibps", "", " KiB/s", o.GetNetworkIO(), false, network},
          {"disk", prefix + "disk_kibps", "", " KiB/s", o.GetDiskIO(), false, disk}};
}

struct Evaluation {
  ExitCode code = kOk;
  std::string notes;     // ", cpu 91.0% (warning 80)"
  std::string perfdata;  // "cpu=91.0%;80;;0;100 ..."
};

void AddPerfdata(std::string& perfdata, const std::string& item) {
  if (!perfdata.empty()) perfdata += " ";
  perfdata += item;
}

// A figure that was not measured has no performance data and no threshold applies to it;
// a threshold given for it is noted in the text.
Evaluation Evaluate(const std::vector<FigureItem>& figures, const std::map<std::string, check::Range>& warning,
                    const std::map<std::string, check::Range>& critical) {
  Evaluation e;
  for (const FigureItem& f : figures) {
    const auto w = warning.find(f.name);
    const auto c = critical.find(f.name);
    if (f.source == FigureSource::None) {
      if (w != warning.end() || c != critical.end()) e.notes += std::string(", ") + f.name + " not measured";
      continue;
    }
    const std::string value = Fixed1(f.value);
    if (c != critical.end() && c->second.Alerts(f.value)) {
      e.code = kCritical;
      e.notes += std::string(", ") + f.name + " " + value + f.words + " (critical " + c->second.text + ")";
    } else if (w != warning.end() && w->second.Alerts(f.value)) {
      if (e.code == kOk) e.code = kWarning;
      e.notes += std::string(", ") + f.name + " " + value + f.words + " (warning " + w->second.text + ")";
    }
    AddPerfdata(e.perfdata, f.label + "=" + value + f.unit + ";" + (w != warning.end() ? w->second.text : "") +
                                ";" + (c != critical.end() ? c->second.text : "") + ";0" +
                                (f.percent ? ";100" : ""));
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
  enum { kPasswordFile = 256, kParameter, kCerts, kCaFile, kPin, kPassword };
  static const option longOptions[] = {
      {"host", required_argument, nullptr, 'H'},      {"port", required_argument, nullptr, 'p'},
      {"protocol", required_argument, nullptr, 'P'},  {"user", required_argument, nullptr, 'u'},
      {"password-file", required_argument, nullptr, kPasswordFile},
      {"vm", required_argument, nullptr, 'm'},        {"state", required_argument, nullptr, 's'},
      {"warning", required_argument, nullptr, 'w'},   {"critical", required_argument, nullptr, 'c'},
      {"timeout", required_argument, nullptr, 't'},   {"parameter", required_argument, nullptr, kParameter},
      {"certs", required_argument, nullptr, kCerts},  {"ca-file", required_argument, nullptr, kCaFile},
      {"pin", required_argument, nullptr, kPin},      {"password", required_argument, nullptr, kPassword},
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
      case kPin: o.pin = optarg; break;
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

// The time kept free before the deadline for the log-out. A XenAPI session stops its
// requests that long before the deadline, and the check's own waits end with them; the
// xen3 sign-off gets a second (a quarter of -t when that is shorter).
Clock::duration LogoutReserve(int mode, int seconds) {
  if (mode != kModeXen3Protocol) return std::chrono::milliseconds(kDeadlineReserveMs);
  return std::min<Clock::duration>(std::chrono::seconds(1), std::chrono::milliseconds(seconds * 250));
}

void CheckState(const std::string& state) {
  std::string known;
  for (const char* s : kKnownStates) {
    if (state == s) return;
    known += known.empty() ? s : std::string(", ") + s;
  }
  throw UsageError("unknown state '" + state + "': the state is one of " + known);
}

// "sha256//BASE64", alternatives separated by ';'. Anything else is refused here: the TLS
// library would take it for the name of a key file.
void CheckPin(const std::string& pin) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = pin.find(';', start);
    const std::string one = pin.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (one.size() <= 8 || one.compare(0, 8, "sha256//") != 0 ||
        one.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=", 8) !=
            std::string::npos)
      throw UsageError("invalid --pin '" + pin + "': sha256// and the key's SHA-256 in Base64");
    if (end == std::string::npos) return;
    start = end + 1;
  }
}

Credentials Resolve(Options& o) {
  Credentials cr;
  bool havePassword = false;
  bool windowsPassword = false;  // the parameter string's: Windows-1252 bytes
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
    havePassword = windowsPassword = true;
  }
  if (!o.passwordFile.empty()) {
    cr.password = ReadPasswordFile(o.passwordFile);
    havePassword = true;
    windowsPassword = false;
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
  CheckState(o.state);
  if (LogoutReserve(cr.mode, o.timeout) >= std::chrono::seconds(o.timeout))
    throw UsageError("-t " + std::to_string(o.timeout) + " leaves no time: XenAPI keeps the last " +
                     std::to_string(kDeadlineReserveMs) + " ms for the log-out");
  if (!o.caFile.empty() || !o.pin.empty()) {
    if (cr.mode != kModeXen4Protocol) throw UsageError("--ca-file and --pin apply to XenAPI (-P 4)");
    if (!o.caFile.empty() && !std::ifstream(o.caFile)) throw UsageError("cannot read the CA file " + o.caFile);
    if (!o.pin.empty()) CheckPin(o.pin);
  }
  // The Windows check's password goes to XenAPI as the Windows connector sends it, in
  // UTF-8, and to the xen3 agent as the same bytes the Windows connector sends.
  if (windowsPassword && cr.mode != kModeXen3Protocol) cr.password = brenmo::Windows1252ToUtf8(cr.password);
  cr.user = o.user;
  return cr;
}

std::string FigureWords(const std::vector<FigureItem>& figures) {
  std::string words;
  for (const FigureItem& f : figures) {
    words += std::string(", ") + f.name + " ";
    words += f.source == FigureSource::None
                 ? std::string("not measured")
                 : Fixed1(f.value) + f.words + " (" + FigureSourceName(f.source) + ")";
  }
  return words;
}

std::string HostWords(XenSessionImpl& s) {
  return "Host " + s.GetServerName() + " (Xen " + s.GetXenVersion() + "): " + std::to_string(s.GetNumCpus()) +
         " CPUs, " + std::to_string(s.GetMemory()) + " MiB" + FigureWords(FiguresOf(s, true)) + "\n";
}

std::string VmWords(const XenVMImpl& vm) {
  return "VM " + vm.GetName() + ": " + vm.GetStatus() + ", " + std::to_string(vm.GetNumCpus()) + " vCPUs, " +
         std::to_string(vm.GetMemory()) + " MiB" + FigureWords(FiguresOf(vm, false)) + "\n";
}

// "text | perfdata", or the text alone without performance data.
std::string WithPerfdata(const std::string& text, const std::string& perfdata) {
  return perfdata.empty() ? text : text + " | " + perfdata;
}

// The Windows check's procedure with figures added, on an open connection.
std::pair<ExitCode, std::string> Assess(Connection& connection, Supervisor& supervisor, const Options& o,
                                        const std::map<std::string, check::Range>& warning,
                                        const std::map<std::string, check::Range>& critical) {
  XenSessionImpl& session = connection.Session();
  supervisor.Enter(kListing);
  session.FillVMList(&connection.List());
  supervisor.Enter(kWaiting);
  WaitForFigures(session, supervisor);

  OwnedVmList& list = connection.List();
  const XenVMImpl* found = nullptr;
  int running = 0;
  for (int32_t i = 0; i < list.GetCount(); ++i) {
    const XenVMImpl* vm = list.GetItem(i);
    if (vm->GetStatus() == "UP") ++running;
    if (vm->GetName() == o.vm) found = vm;  // of equal names the last counts
  }

  std::string verbose = o.verbose ? HostWords(session) : std::string();
  const int count = list.GetCount();
  const auto hostEvaluation = [&] {
    Evaluation e = Evaluate(FiguresOf(session, true), warning, critical);
    AddPerfdata(e.perfdata, "vms=" + std::to_string(count) + ";;;0 running=" + std::to_string(running) + ";;;0");
    return e;
  };

  if (count == 0) {
    const Evaluation e = hostEvaluation();
    return {kCritical,
            Line(kCritical, WithPerfdata("No registered virtual machines on this server", e.perfdata)) + verbose};
  }
  if (o.vm.empty()) {
    const Evaluation e = hostEvaluation();
    return {e.code, Line(e.code, WithPerfdata(std::to_string(count) + " registered virtual machine(s) on this server" +
                                                  e.notes,
                                              e.perfdata)) +
                        verbose};
  }
  if (!found) {
    return {kCritical, Line(kCritical, "Can't get the state of this (" + o.vm +
                                           ") virtual machine, it's not listed as a known one") +
                           verbose};
  }
  if (o.verbose) verbose += VmWords(*found);
  const Evaluation e = Evaluate(FiguresOf(*found, false), warning, critical);
  const std::string& status = found->GetStatus();
  if (status == o.state) {
    return {e.code,
            Line(e.code, WithPerfdata("Virtual machine (" + o.vm + ") is " + status + e.notes, e.perfdata)) + verbose};
  }
  return {Worst(kCritical, e.code),
          Line(kCritical, WithPerfdata("Virtual machine (" + o.vm + ") is in a " + status +
                                           " state while it should be " + o.state + e.notes,
                                       e.perfdata)) +
              verbose};
}

// A message of the connector on one line: line breaks (XenAPI errors carry their
// parameters on lines of their own) become spaces.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text.empty() ? "unknown failure" : text;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The cause when the failure is that the host could not be reached at all: for xen3 the
// socket error, for XenAPI libcurl's text ("Failed to connect to H port P: CAUSE",
// "Could not resolve host: H", "Connection timed out", ...).
std::optional<std::string> ConnectFailureCause(const std::exception& e) {
  if (const auto* system = dynamic_cast<const std::system_error*>(&e)) {
    const std::error_code code = system->code();
    for (const std::error_code c :
         {make_error_code(asio::error::connection_refused), make_error_code(asio::error::host_unreachable),
          make_error_code(asio::error::network_unreachable), make_error_code(asio::error::timed_out),
          make_error_code(asio::error::host_not_found), make_error_code(asio::error::host_not_found_try_again),
          make_error_code(asio::error::no_data)})
      if (code == c) return code.message();
    return std::nullopt;
  }
  const std::string text = OneLine(e.what());
  if (StartsWith(text, "Failed to connect to ")) {
    const std::size_t colon = text.rfind(": ");
    return colon == std::string::npos ? text : text.substr(colon + 2);
  }
  if (StartsWith(text, "Could not resolve host") || StartsWith(text, "Couldn't resolve host") ||
      StartsWith(text, "Connection timed out") || StartsWith(text, "Connection timeout") ||
      text == "Couldn't connect to server")
    return text;
  return std::nullopt;
}

// The UNKNOWN text of a failure: a signal or the deadline first, whatever the failing call
// said; then an unreachable host with its name and port; else the connector's message.
std::string FailureText(const std::exception& e, const Supervisor& supervisor, const Options& o,
                        const Credentials& cr) {
  if (supervisor.Signalled()) return supervisor.SignalText();
  if (dynamic_cast<const TimedOut*>(&e)) return supervisor.TimeoutText();
  // The session's requests end at the same time as the check's waits (give or take a
  // timer's tick); the message then says which request noticed.
  if (Clock::now() + std::chrono::milliseconds(100) >= supervisor.WorkEnd())
    return supervisor.TimeoutText() + " (" + OneLine(e.what()) + ")";
  if (const std::optional<std::string> cause = ConnectFailureCause(e)) {
    const int port = cr.mode == kModeAutodetect ? SessionSettings::kXen4Port  // the XenAPI attempt's
                     : o.port > 0               ? o.port
                     : cr.mode == kModeXen3Protocol ? SessionSettings::kXen3Port
                                                    : SessionSettings::kXen4Port;
    return "Cannot connect to " + o.host + " port " + std::to_string(port) + ": " + *cause;
  }
  return OneLine(e.what());
}

// Reports the outcome as soon as it is known; the connection closes (logs out) afterwards.
void RunCheck(Reporter& reporter, Supervisor& supervisor, const Options& o, const Credentials& cr,
              const std::map<std::string, check::Range>& warning,
              const std::map<std::string, check::Range>& critical) {
  SessionSettings settings;
  settings.SetConnectionMode(cr.mode);
  if (o.port > 0 && cr.mode != kModeAutodetect) settings.SetPort(o.port);
  Xen4Options xen4;
  xen4.originator = "check_xenvm";
  xen4.caFile = o.caFile;
  xen4.pinnedPublicKey = o.pin;
  xen4.deadline = supervisor.Deadline();
  xen4.cancel = supervisor.Cancel();
  // One check: the named VM alone, and one connection for its requests.
  xen4.onlyVm = o.vm;
  xen4.keepConnection = true;
  xen4.hostFacts = o.verbose || o.vm.empty();  // the host's words and figures
  settings.SetXen4Options(xen4);

  supervisor.Enter(kConnecting);
  std::unique_ptr<XenSessionImpl> session;
  try {
    session.reset(settings.CreateSessionImpl(o.host, cr.user, cr.password));
  } catch (const std::exception& e) {
    // A session that failed to open left nothing on the server.
    reporter.Report(kUnknown, Line(kUnknown, FailureText(e, supervisor, o, cr)));
    return;
  }
  Connection connection(std::move(session), supervisor);
  try {
    const std::pair<ExitCode, std::string> outcome = Assess(connection, supervisor, o, warning, critical);
    reporter.Report(outcome.first, outcome.second);
  } catch (const std::exception& e) {
    reporter.Report(kUnknown, Line(kUnknown, FailureText(e, supervisor, o, cr)));
  }
}

// Swallows what is written to it: the xen3 frame receiver's trace lines.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts: SIGTERM and SIGINT are read by the supervisor only.
  Supervisor::BlockSignals();
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

  try {
    Supervisor supervisor(reporter, options.timeout, LogoutReserve(credentials.mode, options.timeout));
    RunCheck(reporter, supervisor, options, credentials, warning, critical);
  } catch (const std::exception& e) {
    reporter.Report(kUnknown, Line(kUnknown, OneLine(e.what())));
  }
  return reporter.Code();
}
