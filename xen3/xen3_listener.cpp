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
      const XsHostMetrics& metrics = *s.hostMetrics;
      SetCpuUsage(metrics.xmCpuUsage * 100.0);
      SetMemoryUsage(usagePercent(GetMemory(), metrics.meminfoFree));
      SetDiskIO(static_cast<double>(metrics.bdIo));
      SetNetworkIO(static_cast<double>(metrics.ifIo));
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
    if (entry->state) match->SetStatus(*entry->state);
    match->SetCpuUsage(entry->cpuUsage * 100.0);
    match->SetMemory(entry->meminfoTotal);
    match->SetMemoryUsage(usagePercent(entry->meminfoTotal, entry->meminfoFree));
    match->SetNumCpus(entry->numVcpu);
    match->SetDiskIO(static_cast<double>(entry->vbdIo));
    match->SetNetworkIO(static_cast<double>(entry->vifIo));
  }
}
