// check_xenvm's command line: parsing, the usage and help texts, and the checks of a
// state and a key pin.
#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "credentials.h"

namespace check {

namespace {

// The states -s takes: those of the Windows check's state list, which are also the texts
// the xen3 agent reports.
const char* const kKnownStates[] = {"UP", "DOWN", "PAUSED", "SUSPENDED"};

int ParseInt(const std::string& text, const char* what, int low, int high) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high)
    throw UsageError(std::string("invalid ") + what + " '" + text + "'");
  return static_cast<int>(v);
}

}  // namespace

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

}  // namespace check
