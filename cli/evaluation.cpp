// Evaluation and output: the figures of a host or VM with their sources, the thresholds
// applied to those measured, the sentences of the Windows check and the performance data.
#include "evaluation.h"

#include <cstdio>
#include <string>
#include <vector>

#include "figures.h"
#include "vm_impl.h"

namespace check {

namespace {

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
Evaluation Evaluate(const std::vector<FigureItem>& figures, const Thresholds& warning, const Thresholds& critical) {
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

}  // namespace

std::pair<ExitCode, std::string> Assess(XenSessionImpl& session, OwnedVmList& list, const Options& o,
                                        const Thresholds& warning, const Thresholds& critical) {
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

}  // namespace check
