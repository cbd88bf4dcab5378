// The refresh pass: the host's and the VMs' live figures, each with its source. A figure
// is written only where it was measured; otherwise it keeps its last value and source.
#include <cmath>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>

#include "xen4_session.h"
#include "xen4_state.h"
#include "xen4_text.h"
#include "xen4_transport.h"

using namespace xen4;

namespace {

const char* PowerStateName(xenapi::PowerState state) {
  switch (state) {
    case xenapi::PowerState::Halted: return "DOWN";
    case xenapi::PowerState::Paused: return "PAUSED";
    case xenapi::PowerState::Running: return "UP";
    case xenapi::PowerState::Suspended: return "SUSPENDED";
    case xenapi::PowerState::Unknown: break;
  }
  return "UNKNOWN";
}

}  // namespace

bool Xen4SessionImpl::State::RunOnce() {
  if (StopSignalled()) return false;
  if (connectPassed.exchange(false)) {  // Connect made the first pass
    WaitStop();
    return true;
  }
  bool complete = false;
  const uint64_t number = ++passesBegun;
  try {
    complete = Pass();
  } catch (const std::exception&) {
    // The connection is gone or unusable: the loop ends with this pass (a pass that
    // Close aborted leaves the connected flag as it was).
    if (!link.Aborted()) connected.store(false);
    FiguresChanged(false);
    return false;
  }
  if (complete) {
    lastWritingPass.store(number);
    FiguresChanged(true);
  }
  WaitStop();
  return true;
}

void Xen4SessionImpl::FirstPassAtConnect() {
  State& s = *state_;
  const uint64_t number = ++s.passesBegun;
  if (!s.Pass()) return;
  s.lastWritingPass.store(number);
  s.connectPassed.store(true);
  s.FiguresChanged(true);
}

// One refresh pass: host figures, then each VM's figures. A VM the server no longer
// knows shows "UNKNOWN" with its last figures and is skipped from then on.
bool Xen4SessionImpl::State::Pass() {
  if (!Handle()) throw std::runtime_error(kConnectionClosed);

  // The exports read in this pass, by host reference (null: could not be read). A session
  // of one VM asks each for that VM's columns alone, whichever host it runs on; one of
  // the VMs' states for none.
  std::map<std::string, std::unique_ptr<rrd::Updates>> exports;
  if (connectExport) exports.emplace(hostRef, std::move(connectExport));
  const std::string onlyUuid = statesOnly                      ? std::string("none")
                               : oneVm && vms.size() == 1 ? vms.front()->Uuid()
                                                             : std::string();
  const auto exportOf = [&](const std::string& host) -> const rrd::Updates* {
    const std::string key = xenapi::IsNullRef(host) ? hostRef : host;
    const auto it = exports.find(key);
    if (it != exports.end()) return it->second.get();
    std::unique_ptr<rrd::Updates> u(new rrd::Updates);
    const std::string where = AddressOf(key);
    if (where.empty() || ReadExport(where, u.get(), onlyUuid) != ExportResult::Read) u.reset();
    return exports.emplace(key, std::move(u)).first->second.get();
  };

  if (hostFigures) switch (exportMode) {
    case Xen4ExportMode::Working: HostFiguresFromExport(exportOf(hostRef)); break;
    case Xen4ExportMode::Absent: HostFiguresFromCalls(); break;
    case Xen4ExportMode::Retrying:
      // Asked once a pass; from its first answer on, the figures come from it.
      if (HostFiguresFromExport(exportOf(hostRef)))
        exportMode = Xen4ExportMode::Working;
      else
        HostFiguresFromCalls();
      break;
  }
  const bool fromExport = exportMode == Xen4ExportMode::Working;
  const FigureSource source = fromExport ? FigureSource::MetricsExport : FigureSource::MetricCalls;

  xenapi::RecordList<xenapi::VmRecord> allVms;
  xenapi::RecordList<xenapi::VmMetricsRecord> allMetrics;
  xenapi::RecordList<xenapi::GuestMetricsRecord> allGuests;
  const bool recordsInHand = bulkVms || connectRecords;
  if (connectRecords) {
    allVms = std::move(*connectRecords);
    connectRecords.reset();
  } else if (bulkVms) {
    Call([&](const xenapi::Session& h, xenapi::Status& st) {
      if (vmsWhere)
        xenapi::VmGetAllRecordsWhere(h, st, kGuestsOnly, &allVms);
      else
        xenapi::VmGetAllRecords(h, st, &allVms);
    });
  }
  if (bulkMetrics)
    Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmMetricsGetAllRecords(h, st, &allMetrics); });
  // Without the export, a VM's memory in use comes from its guest metrics (guest tools).
  if (bulkGuests && !fromExport)
    Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::GuestMetricsGetAllRecords(h, st, &allGuests); });
  const auto vmIndex = IndexOf(allVms);
  const auto metricsIndex = IndexOf(allMetrics);
  const auto guestIndex = IndexOf(allGuests);

  const auto markGone = [](Xen4VMImpl& vm) {
    vm.SetGone();
    std::lock_guard<std::mutex> guard(vm.Lock());
    vm.SetInTransitionLocked(false);
    vm.SetStatus("UNKNOWN");
  };
  // The mean I/O figure of a VM's devices by the metric calls; false when the VM is
  // gone.
  const auto ioMean = [&](const std::vector<std::string>& refs,
                          bool (*read)(const xenapi::Session&, xenapi::Status&, const std::string&,
                                       xenapi::IoMetricsRecord*),
                          double* mean) {
    *mean = 0.0;
    if (refs.empty()) return true;
    double sum = 0.0;
    for (const std::string& m : refs) {
      xenapi::IoMetricsRecord r;
      Outcome o = Try([&](const xenapi::Session& h, xenapi::Status& st) { read(h, st, m, &r); });
      if (o.Is(kHandleInvalid)) return false;
      Check(o);
      sum += r.io_read_kbs + r.io_write_kbs;
    }
    *mean = sum / static_cast<double>(refs.size());
    return true;
  };

  // A VM's state and words from its record; the caller holds the VM's lock.
  const auto writeRecordLocked = [](Xen4VMImpl& vm, const xenapi::VmRecord& record) {
    const bool inTransition = record.allowed_operations.empty();
    vm.SetInTransitionLocked(inTransition);
    vm.SetStatus(inTransition ? vm.TransitionalStatusLocked() : std::string(PowerStateName(record.power_state)));
    vm.SetName(NarrowFromUtf8(record.name_label));
    vm.SetDescription(NarrowFromUtf8(record.name_description));
    vm.SetMemory(ToMiB(record.memory_static_max));
  };

  for (const auto& vm : vms) {
    if (StopSignalled()) return false;  // the session is closing: leave the rest
    if (vm->Gone()) continue;
    xenapi::VmRecord record;
    if (recordsInHand) {
      const xenapi::VmRecord* found = Lookup(vmIndex, vm->VmRef());
      if (!found) {
        markGone(*vm);
        continue;
      }
      record = *found;
    } else {
      Outcome o = Try([&](const xenapi::Session& h, xenapi::Status& st) {
        xenapi::VmGetRecord(h, st, vm->VmRef(), &record);
      });
      if (o.Is(kHandleInvalid)) {
        markGone(*vm);
        continue;
      }
      Check(o);
    }
    if (statesOnly) {
      std::lock_guard<std::mutex> guard(vm->Lock());
      writeRecordLocked(*vm, record);
      continue;
    }
    // The VM's columns in the export of the host it runs on (null: none this pass).
    const rrd::Values* exported = nullptr;
    const rrd::Updates* e = fromExport ? exportOf(record.resident_on) : nullptr;
    if (e) {
      const auto it = e->vms.find(record.uuid.empty() ? vm->Uuid() : record.uuid);
      if (it != e->vms.end()) exported = &it->second;
    }
    xenapi::VmMetricsRecord metrics;
    bool haveMetrics = !xenapi::IsNullRef(vm->MetricsRef());
    // Where the metrics record would be read for the VM alone, the export's CPU columns
    // count its virtual CPUs instead.
    const size_t exportedCpus = exported && !bulkMetrics ? rrd::CpuCount(*exported) : 0;
    if (exportedCpus > 0) {
      haveMetrics = true;
      metrics.VCPUs_number = static_cast<int64_t>(exportedCpus);
    } else if (haveMetrics && bulkMetrics) {
      const xenapi::VmMetricsRecord* found = Lookup(metricsIndex, vm->MetricsRef());
      haveMetrics = found != nullptr;
      if (found) metrics = *found;
    } else if (haveMetrics) {
      Outcome o = Try([&](const xenapi::Session& h, xenapi::Status& st) {
        xenapi::VmMetricsGetRecord(h, st, vm->MetricsRef(), &metrics);
      });
      if (o.Is(kHandleInvalid)) {
        markGone(*vm);
        continue;
      }
      Check(o);
    }

    // Live figures: from the export of the host the VM runs on, or the metric calls.
    bool haveCpu = false, haveMemory = false, haveNetwork = false, haveDisk = false;
    double cpu = 0.0, memoryUsage = 0.0, network = 0.0, disk = 0.0;
    if (fromExport) {
      if (e) {
        if (!exported) {
          // A VM without a domain uses nothing: 0. One that has a domain but is missing
          // (the metrics daemon does not know it yet: just started or moved, or after its
          // restart) was not measured this pass: its figures stay.
          const bool noDomain = record.power_state == xenapi::PowerState::Halted ||
                                record.power_state == xenapi::PowerState::Suspended;
          haveCpu = haveMemory = haveNetwork = haveDisk = noDomain;
        } else {
          const rrd::Values& v = *exported;
          haveCpu = rrd::CpuPercent(v, &cpu);
          haveNetwork = rrd::IoKiBPerSecond(v, "vif_", "_rx", "_tx", &network);
          haveDisk = rrd::IoKiBPerSecond(v, "vbd_", "_read", "_write", &disk);
          const double* total = rrd::Find(v, "memory");
          const double* freeKib = rrd::Find(v, "memory_internal_free");
          if (total && freeKib && std::isfinite(*total) && std::isfinite(*freeKib) && *total > 0.0) {
            memoryUsage = (*total - *freeKib * 1024.0) / *total * 100.0;
            haveMemory = true;
          }
        }
      }
    } else {
      // A server with removed getters keeps the VCPU rates and device rates at 0.
      if (haveMetrics && !legacyDead) {
        cpu = MeanUtilisationPercent(metrics);
        haveCpu = true;
      }
      if ((vifSource && !ioMean(vm->VifMetrics(), &xenapi::VifMetricsGetRecord, &network)) ||
          (vbdSource && !ioMean(vm->VbdMetrics(), &xenapi::VbdMetricsGetRecord, &disk))) {
        markGone(*vm);
        continue;
      }
      haveNetwork = vifSource;
      haveDisk = vbdSource;
      if (!xenapi::IsNullRef(record.guest_metrics)) {
        xenapi::GuestMetricsRecord guest;
        bool have = true;
        if (bulkGuests) {
          const xenapi::GuestMetricsRecord* found = Lookup(guestIndex, record.guest_metrics);
          have = found != nullptr;
          if (found) guest = *found;
        } else {
          Outcome o = Try([&](const xenapi::Session& h, xenapi::Status& st) {
            xenapi::GuestMetricsGetRecord(h, st, record.guest_metrics, &guest);
          });
          have = !o.Is(kHandleInvalid);  // the guest's tools went away meanwhile
          if (have) Check(o);
        }
        haveMemory = have && GuestMemoryUsage(guest, &memoryUsage);
      }
    }

    std::lock_guard<std::mutex> guard(vm->Lock());
    writeRecordLocked(*vm, record);
    if (haveMetrics) vm->SetNumCpus(ClampInt32(metrics.VCPUs_number));
    const auto write = [&](bool have, Figure f, void (XenVMImpl::*set)(double), double value) {
      if (!have) return;
      (vm.get()->*set)(value);
      vm->SetFigureSource(f, source);
    };
    write(haveCpu, Figure::Cpu, &XenVMImpl::SetCpuUsage, cpu);
    write(haveMemory, Figure::Memory, &XenVMImpl::SetMemoryUsage, memoryUsage);
    write(haveNetwork, Figure::Network, &XenVMImpl::SetNetworkIO, network);
    write(haveDisk, Figure::Disk, &XenVMImpl::SetDiskIO, disk);
  }
  return true;
}
