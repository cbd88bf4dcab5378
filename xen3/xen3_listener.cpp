// The back-channel listener (refresh thread) and Update (caller's thread).
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "xen3_session.h"
#include "xen3_vm.h"

namespace {

// (total - free) / total * 100. The difference is taken in 64 bits so that extreme
// figures cannot overflow; a total of 0 gives 0 rather than a non-finite figure.
double usagePercent(int32_t total, int32_t free) {
  if (total == 0) return 0.0;
  const double used = static_cast<double>(static_cast<int64_t>(total) - static_cast<int64_t>(free));
  return used / static_cast<double>(total) * 100.0;
}

// The agent leaves out what it did not measure (-1). Such a figure keeps its value and
// source; a measured one is written with the agent as its source.
template <typename Target>
void putFigure(Target& target, Figure figure, bool measured, double value, void (Target::*set)(double)) {
  if (!measured) return;
  (target.*set)(value);
  target.SetFigureSource(figure, FigureSource::Agent);
}

}  // namespace

bool Xen3SessionImpl::State::RunOnce() {
  try {
    std::unique_ptr<XsMessage> message = receiver->receiveFrameBlocking();
    if (message && message->receivedCmd &&
        equalsIgnoringAsciiCase(*message->receivedCmd, "XS_DATA_SUMMARY") && message->payload &&
        message->payload->data) {
      XsData& data = *message->payload->data;
      {
        std::lock_guard<std::mutex> guard(hostMetricsLock);
        hostMetrics = std::move(data.hostMetrics);
      }
      auto guests = std::make_unique<XsGuestMetricsList>(std::move(data.guestMetrics));
      {
        std::lock_guard<std::mutex> guard(guestMetricsLock);
        guestMetrics.swap(guests);
      }
      // The replaced list goes here, outside the lock.
      {
        std::lock_guard<std::mutex> guard(figuresLock);
        figuresIn = true;
      }
      figuresCv.notify_all();
    }
  } catch (...) {
    // A read error (also the one Close causes), a frame that does not parse, or one
    // that is too large: the listener ends and the back channel is closed for good.
    // This pass is the only reader of the socket, so closing it here is safe.
    asio::error_code ignored;
    closeBackChannel(ignored);
    return false;
  }
  return true;
}

bool Xen3SessionImpl::WaitForFigures(std::chrono::milliseconds limit) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.figuresLock);
  // A back channel that never opened, or went before this call, gives no signal.
  s.figuresCv.wait_for(lock, limit, [&] { return s.figuresIn || s.figuresEnded || s.backChannelLost(); });
  return s.figuresIn && !s.figuresEnded && !s.backChannelLost();
}

void Xen3SessionImpl::Update() {
  State& s = *state_;
  if (s.backChannelLost()) throw std::runtime_error("Connection to server lost");

  std::unique_ptr<HostConfiguration> configuration = conversation_.getConfiguration();
  if (!vmsPopulated_ && configuration && configuration->host) {
    const XsHost& host = *configuration->host;
    if (host.name) SetServerName(*host.name);
    if (host.xenVersion) SetXenVersion(*host.xenVersion);
    SetNumCpus(host.numCpus);
    SetMemory(host.memory);
    if (host.description) SetServerDescription(*host.description);
    if (collection_ != nullptr) {
      for (const std::unique_ptr<XsGuest>& guest : configuration->guests) {
        auto vm = std::make_unique<Xen3VMImpl>(guest->uuid.value_or(std::string()));
        vm->SetSession(this);
        if (guest->name) vm->SetName(*guest->name);
        if (guest->description) vm->SetDescription(*guest->description);
        collection_->Add(vm.release());
      }
      vmsPopulated_ = true;
    }
  }

  {
    std::lock_guard<std::mutex> guard(s.hostMetricsLock);
    if (s.hostMetrics) {
      const XsHostMetrics& m = *s.hostMetrics;
      XenSessionImpl& host = *this;
      putFigure(host, Figure::Cpu, m.xmCpuUsage >= 0.0, m.xmCpuUsage * 100.0, &XenSessionImpl::SetCpuUsage);
      putFigure(host, Figure::Memory, m.meminfoFree >= 0 && GetMemory() > 0, usagePercent(GetMemory(), m.meminfoFree),
                &XenSessionImpl::SetMemoryUsage);
      putFigure(host, Figure::Disk, m.bdIo >= 0, static_cast<double>(m.bdIo), &XenSessionImpl::SetDiskIO);
      putFigure(host, Figure::Network, m.ifIo >= 0, static_cast<double>(m.ifIo), &XenSessionImpl::SetNetworkIO);
    }
  }

  std::lock_guard<std::mutex> guard(s.guestMetricsLock);
  if (!s.guestMetrics || collection_ == nullptr) return;
  // Each entry goes to the first VM of the collection with its identifier (byte for
  // byte); an index of the collection keeps that linear in the number of guests.
  std::unordered_map<std::string_view, Xen3VMImpl*> byId;
  const int32_t count = collection_->GetCount();
  byId.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
  for (int32_t i = 0; i < count; ++i) {
    if (auto* vm = dynamic_cast<Xen3VMImpl*>(collection_->GetItem(i))) byId.emplace(vm->VmId(), vm);
  }
  for (const std::unique_ptr<XsGuestMetrics>& entry : *s.guestMetrics) {
    if (!entry->uuid) continue;
    const auto found = byId.find(*entry->uuid);
    if (found == byId.end()) continue;
    Xen3VMImpl* match = found->second;
    const XsGuestMetrics& m = *entry;
    XenVMImpl& vm = *match;
    if (m.state) vm.SetStatus(*m.state);
    if (m.meminfoTotal >= 0) vm.SetMemory(m.meminfoTotal);
    if (m.numVcpu >= 0) vm.SetNumCpus(m.numVcpu);
    putFigure(vm, Figure::Cpu, m.cpuUsage >= 0.0, m.cpuUsage * 100.0, &XenVMImpl::SetCpuUsage);
    putFigure(vm, Figure::Memory, m.meminfoFree >= 0 && m.meminfoTotal > 0,
              usagePercent(m.meminfoTotal, m.meminfoFree), &XenVMImpl::SetMemoryUsage);
    putFigure(vm, Figure::Disk, m.vbdIo >= 0, static_cast<double>(m.vbdIo), &XenVMImpl::SetDiskIO);
    putFigure(vm, Figure::Network, m.vifIo >= 0, static_cast<double>(m.vifIo), &XenVMImpl::SetNetworkIO);
  }
}
