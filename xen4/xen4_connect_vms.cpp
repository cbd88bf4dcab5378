// The VMs read at connect: the one VM asked for by name, or the pool's guest VMs, with
// the references their passes read and their first figures.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "xen4_session.h"
#include "xen4_state.h"
#include "xen4_text.h"
#include "xen4_transport.h"

using namespace xen4;

// The guest VMs of the name, by the name's lookup and the record of the VM it finds;
// where it finds several (a template or snapshot of the same name), by one condition on
// the server where it takes one and the name fits in its text, else each one's record.
// None where the server has no lookup by name (lookedUp false).
xenapi::RecordList<xenapi::VmRecord> Xen4SessionImpl::FindNamedVms(bool* lookedUp) {
  State& s = *state_;
  const std::string name = Utf8FromNarrow(s.link.Options().onlyVm);
  xenapi::RecordList<xenapi::VmRecord> records;
  std::vector<std::string> refs;
  State::Outcome o =
      s.Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetByNameLabel(h, st, name, &refs); });
  *lookedUp = !o.Is(kUnknownMethod);
  if (!*lookedUp) return records;
  s.Check(o);
  const auto guestsOfTheName = [&] {
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [&](const auto& kv) { return !IsGuest(kv.second) || kv.second.name_label != name; }),
                  records.end());
    return records;
  };
  if (refs.size() > 1 && name.find_first_of("\"\\") == std::string::npos) {
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) {
      xenapi::VmGetAllRecordsWhere(h, st, "field \"name__label\"=\"" + name + "\" and " + kGuestsOnly, &records);
    });
    if (o.st.ok) return guestsOfTheName();
    if (!o.Is(kUnknownMethod)) s.Check(o);
    records.clear();
  }
  for (const std::string& ref : refs) {
    xenapi::VmRecord record;
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetRecord(h, st, ref, &record); });
    if (o.Is(kHandleInvalid)) continue;  // deleted meanwhile
    s.Check(o);
    records.emplace_back(ref, std::move(record));
  }
  return guestsOfTheName();
}

// The host (ReadHost), then the VMs without templates, snapshots and the control domain:
// in bulk where the server offers it (with the condition on the server where it takes
// one), else one by one.
void Xen4SessionImpl::ReadHostAndVms(bool redirected, const std::string& namedIp) {
  State& s = *state_;
  // One VM asked for: it alone is read, with the export of its columns; a name that no
  // guest VM has gets the whole list as without it (whether the server has any VM).
  xenapi::RecordList<xenapi::VmRecord> named;
  bool lookedUp = true;
  if (!s.link.Options().onlyVm.empty()) named = FindNamedVms(&lookedUp);
  s.oneVm = !named.empty();
  // Without the server's lookup the named VM may well be in the list: its figures are read.
  s.statesOnly = !s.oneVm && lookedUp && !s.link.Options().listFigures;
  ReadHost(redirected, namedIp, named.size() == 1 ? named.front().second.uuid : std::string("none"));
  const bool fromExport = s.exportMode == Xen4ExportMode::Working;

  xenapi::RecordList<xenapi::VmRecord> records;
  State::Outcome o;
  if (s.oneVm) {
    records = named;
    s.connectRecords.reset(new xenapi::RecordList<xenapi::VmRecord>(std::move(named)));
  } else {
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) {
      xenapi::VmGetAllRecordsWhere(h, st, kGuestsOnly, &records);
    });
  }
  s.vmsWhere = o.st.ok && !s.oneVm;
  s.bulkVms = o.st.ok && !s.oneVm;
  if (o.Is(kUnknownMethod)) {
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetAllRecords(h, st, &records); });
    s.bulkVms = o.st.ok;
  }
  if (o.Is(kUnknownMethod)) {
    std::vector<std::string> all;
    s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetAll(h, st, &all); });
    // A VM deleted since the list was read is left out (false).
    const auto read = [&](const auto& call) {
      State::Outcome r = s.Try(call);
      if (r.Is(kHandleInvalid)) return false;
      s.Check(r);
      return true;
    };
    for (const std::string& ref : all) {
      bool isTemplate = false, isControlDomain = false;
      xenapi::VmRecord record;
      if (!read([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetIsATemplate(h, st, ref, &isTemplate); }) ||
          !read([&](const xenapi::Session& h, xenapi::Status& st) {
            xenapi::VmGetIsControlDomain(h, st, ref, &isControlDomain);
          }) ||
          isTemplate || isControlDomain ||
          !read([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetRecord(h, st, ref, &record); }))
        continue;
      records.emplace_back(ref, std::move(record));
    }
  } else if (!s.oneVm) {
    s.Check(o);
  }
  records.erase(std::remove_if(records.begin(), records.end(), [](const auto& kv) { return !IsGuest(kv.second); }),
                records.end());
  if (s.statesOnly) s.connectRecords.reset(new xenapi::RecordList<xenapi::VmRecord>(records));

  // The VMs' metrics and guest metrics, in bulk where the VM records came in bulk (none
  // where the VMs' states alone are read).
  xenapi::RecordList<xenapi::VmMetricsRecord> allMetrics;
  xenapi::RecordList<xenapi::GuestMetricsRecord> allGuests;
  s.bulkMetrics = false;
  s.bulkGuests = false;
  if (s.bulkVms && !s.statesOnly) {
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmMetricsGetAllRecords(h, st, &allMetrics); });
    s.bulkMetrics = o.st.ok;
    if (!o.Is(kUnknownMethod)) s.Check(o);
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::GuestMetricsGetAllRecords(h, st, &allGuests); });
    s.bulkGuests = o.st.ok;
    if (!o.Is(kUnknownMethod)) s.Check(o);
  }
  const auto metricsIndex = IndexOf(allMetrics);
  const auto guestIndex = IndexOf(allGuests);
  // A record from its bulk read's index where there was one (false: not in it), else
  // by its own call.
  const auto readRecord = [&](bool bulk, const auto& index, const std::string& ref, auto* out, auto get) {
    if (!bulk) {
      s.Call([&](const xenapi::Session& h, xenapi::Status& st) { get(h, st, ref, out); });
      return true;
    }
    const auto* found = Lookup(index, ref);
    if (found) *out = *found;
    return found != nullptr;
  };

  // Per-device metrics references, where the export does not carry the figures; a
  // server that reports the getter removed offers no such source.
  bool vifRemoved = false, vbdRemoved = false;
  const auto deviceMetrics = [&](const std::vector<std::string>& devices, bool* removed,
                                 bool (*get)(const xenapi::Session&, xenapi::Status&, const std::string&,
                                             std::string*),
                                 std::vector<std::string>* out) {
    for (const std::string& dev : devices) {
      if (*removed || fromExport || s.statesOnly) return;
      std::string metrics;
      State::Outcome d = s.Try([&](const xenapi::Session& h, xenapi::Status& st) { get(h, st, dev, &metrics); });
      if (d.Is(kRemoved)) {
        *removed = true;
        return;
      }
      s.Check(d);
      if (!xenapi::IsNullRef(metrics)) out->push_back(metrics);
    }
  };

  std::vector<std::unique_ptr<Xen4VMImpl>> vms;
  for (const auto& kv : records) {
    const std::string& ref = kv.first;
    const xenapi::VmRecord& record = kv.second;
    auto vm = std::make_unique<Xen4VMImpl>(ref, record.metrics, record.guest_metrics);
    vm->SetUuid(record.uuid);
    vm->SetName(NarrowFromUtf8(record.name_label));
    vm->SetDescription(NarrowFromUtf8(record.name_description));
    vm->SetMemory(ToMiB(record.memory_static_max));
    deviceMetrics(record.VIFs, &vifRemoved, &xenapi::VifGetMetrics, &vm->VifMetrics());
    deviceMetrics(record.VBDs, &vbdRemoved, &xenapi::VbdGetMetrics, &vm->VbdMetrics());
    // A null reference has no record to read (a halted VM or one without guest tools has
    // no guest metrics): the figures keep their values.
    if (!xenapi::IsNullRef(record.metrics) && !s.PassAtConnect()) {
      xenapi::VmMetricsRecord metrics;
      if (readRecord(s.bulkMetrics, metricsIndex, record.metrics, &metrics, &xenapi::VmMetricsGetRecord)) {
        vm->SetNumCpus(ClampInt32(metrics.VCPUs_number));
        if (!fromExport && !s.legacyDead) {
          vm->SetCpuUsage(MeanUtilisationPercent(metrics));
          vm->SetFigureSource(Figure::Cpu, FigureSource::MetricCalls);
        }
      }
    }
    if (!xenapi::IsNullRef(record.guest_metrics) && !s.PassAtConnect()) {
      xenapi::GuestMetricsRecord guest;
      double usage;
      if (readRecord(s.bulkGuests, guestIndex, record.guest_metrics, &guest, &xenapi::GuestMetricsGetRecord) &&
          GuestMemoryUsage(guest, &usage)) {
        vm->SetMemoryUsage(usage);
        vm->SetFigureSource(Figure::Memory, FigureSource::MetricCalls);
      }
    }
    vms.push_back(std::move(vm));
  }
  // Without per-device sources (removed, or figures from the export) no references are
  // kept.
  if (vifRemoved)
    for (auto& vm : vms) vm->VifMetrics().clear();
  if (vbdRemoved)
    for (auto& vm : vms) vm->VbdMetrics().clear();
  s.vifSource = !vifRemoved;
  s.vbdSource = !vbdRemoved;
  s.vms = std::move(vms);
}
