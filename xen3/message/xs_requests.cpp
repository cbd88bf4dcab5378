#include "xs_requests.h"

#include <utility>

namespace {

std::unique_ptr<XsMessage> request(std::string_view command, BorrowedText sessionId,
                                   std::unique_ptr<XsPayload> payload) {
  return std::make_unique<XsMessage>(command, sessionId.get(), std::move(payload));
}

std::unique_ptr<XsMessage> vmRequest(std::string_view command, BorrowedText sessionId,
                                     BorrowedText vmUuid) {
  auto payload = std::make_unique<XsPayload>();
  payload->uuid = vmUuid.get();
  return request(command, sessionId, std::move(payload));
}

}  // namespace

std::unique_ptr<XsMessage> buildSignOnMain(BorrowedText sessionId, BorrowedText userName,
                                           BorrowedText password, int32_t minorVersion) {
  auto payload = std::make_unique<XsPayload>();
  payload->majorVersion = 2;
  payload->minorVersion = minorVersion;
  payload->username = userName.get();
  payload->password = password.get();
  return request(kXsSignOnMain, sessionId, std::move(payload));
}

std::unique_ptr<XsMessage> buildSignOnBack(BorrowedText sessionId, BorrowedText userName,
                                           BorrowedText password, int32_t dataInterval) {
  auto payload = std::make_unique<XsPayload>();
  payload->force = true;
  payload->username = userName.get();
  payload->password = password.get();
  payload->dataInterval = dataInterval;
  return request(kXsSignOnBack, sessionId, std::move(payload));
}

std::unique_ptr<XsMessage> buildGetConfiguration(BorrowedText sessionId) {
  return request(kXsMhGetcfg, sessionId, nullptr);
}

std::unique_ptr<XsMessage> buildHostShutdown(BorrowedText sessionId, std::string_view type) {
  auto payload = std::make_unique<XsPayload>();
  payload->type = std::string(type);
  return request(kXsMhShutdown, sessionId, std::move(payload));
}

std::unique_ptr<XsMessage> buildSignOffMain(BorrowedText sessionId) {
  return request(kXsSignOffMain, sessionId, nullptr);
}

std::unique_ptr<XsMessage> buildVmStartup(BorrowedText sessionId, BorrowedText vmUuid) {
  auto message = vmRequest(kXsVmStartup, sessionId, vmUuid);
  message->payload->startForce = 1;
  return message;
}

std::unique_ptr<XsMessage> buildVmShutdown(BorrowedText sessionId, BorrowedText vmUuid) {
  return vmRequest(kXsVmShutdown, sessionId, vmUuid);
}

std::unique_ptr<XsMessage> buildVmSave(BorrowedText sessionId, BorrowedText vmUuid) {
  return vmRequest(kXsVmSave, sessionId, vmUuid);
}

std::unique_ptr<XsMessage> buildVmRestore(BorrowedText sessionId, BorrowedText vmUuid) {
  return vmRequest(kXsVmRestore, sessionId, vmUuid);
}

std::unique_ptr<XsMessage> buildVmReboot(BorrowedText sessionId, BorrowedText vmUuid) {
  return vmRequest(kXsVmReboot, sessionId, vmUuid);
}

std::unique_ptr<XsMessage> buildVmPause(BorrowedText sessionId, BorrowedText vmUuid) {
  return vmRequest(kXsVmPause, sessionId, vmUuid);
}

std::unique_ptr<XsMessage> buildVmUnpause(BorrowedText sessionId, BorrowedText vmUuid) {
  return vmRequest(kXsVmUnpause, sessionId, vmUuid);
}
