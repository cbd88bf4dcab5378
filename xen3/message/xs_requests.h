// The protocol's constant names and one builder per request kind.
//
// Builders return a request owned by the caller, with "sync" still -1 (the sender
// sets it to 1 just before writing). The session identifier, user name, password and
// VM identifier are borrowed: the request keeps their addresses, never frees them, and
// they must outlive it. A BorrowedText cannot be made from a temporary string, so a
// dangling borrow does not compile.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "xs_model.h"

// The sixteen protocol names, in the order the protocol defines them. "reboot" and
// "halt" are the values of the payload field "type", never commands; no request is
// built for "vm_getcfg" or "vm_destroy".
inline constexpr std::string_view kXsSignOnMain = "sign_on_main";
inline constexpr std::string_view kXsSignOnBack = "sign_on_back";
inline constexpr std::string_view kXsMhGetcfg = "mh_getcfg";
inline constexpr std::string_view kXsVmGetcfg = "vm_getcfg";
inline constexpr std::string_view kXsReboot = "reboot";
inline constexpr std::string_view kXsHalt = "halt";
inline constexpr std::string_view kXsMhShutdown = "mh_shutdown";
inline constexpr std::string_view kXsSignOffMain = "sign_off_main";
inline constexpr std::string_view kXsVmStartup = "vm_startup";
inline constexpr std::string_view kXsVmPause = "vm_pause";
inline constexpr std::string_view kXsVmUnpause = "vm_unpause";
inline constexpr std::string_view kXsVmSave = "vm_save";
inline constexpr std::string_view kXsVmRestore = "vm_restore";
inline constexpr std::string_view kXsVmShutdown = "vm_shutdown";
inline constexpr std::string_view kXsVmReboot = "vm_reboot";
inline constexpr std::string_view kXsVmDestroy = "vm_destroy";

inline constexpr std::array<std::string_view, 16> kXsProtocolNames = {
    kXsSignOnMain, kXsSignOnBack, kXsMhGetcfg,   kXsVmGetcfg,  kXsReboot,     kXsHalt,
    kXsMhShutdown, kXsSignOffMain, kXsVmStartup, kXsVmPause,   kXsVmUnpause,  kXsVmSave,
    kXsVmRestore,  kXsVmShutdown, kXsVmReboot,   kXsVmDestroy};

// A reference to a text that lives longer than the request referring to it.
class BorrowedText {
 public:
  BorrowedText(const std::string& text) : text_(&text) {}  // NOLINT: implicit on purpose
  BorrowedText(std::string&&) = delete;
  const std::string* get() const { return text_; }

 private:
  const std::string* text_;
};

// "sign_on_main": "major_version" 2, "minor_version" 4 or 3, "username", "password".
std::unique_ptr<XsMessage> buildSignOnMain(BorrowedText sessionId, BorrowedText userName,
                                           BorrowedText password, int32_t minorVersion);
// "sign_on_back": "force" set, "username", "password", "data_interval".
std::unique_ptr<XsMessage> buildSignOnBack(BorrowedText sessionId, BorrowedText userName,
                                           BorrowedText password, int32_t dataInterval);
// "mh_getcfg": no payload.
std::unique_ptr<XsMessage> buildGetConfiguration(BorrowedText sessionId);
// "mh_shutdown": "type" = kXsReboot or kXsHalt (an owned copy is kept).
std::unique_ptr<XsMessage> buildHostShutdown(BorrowedText sessionId, std::string_view type);
// "sign_off_main": no payload.
std::unique_ptr<XsMessage> buildSignOffMain(BorrowedText sessionId);
// The VM requests: "uuid" = the VM identifier; "vm_startup" also "start_force" 1.
std::unique_ptr<XsMessage> buildVmStartup(BorrowedText sessionId, BorrowedText vmUuid);
std::unique_ptr<XsMessage> buildVmShutdown(BorrowedText sessionId, BorrowedText vmUuid);
std::unique_ptr<XsMessage> buildVmSave(BorrowedText sessionId, BorrowedText vmUuid);
std::unique_ptr<XsMessage> buildVmRestore(BorrowedText sessionId, BorrowedText vmUuid);
std::unique_ptr<XsMessage> buildVmReboot(BorrowedText sessionId, BorrowedText vmUuid);
std::unique_ptr<XsMessage> buildVmPause(BorrowedText sessionId, BorrowedText vmUuid);
std::unique_ptr<XsMessage> buildVmUnpause(BorrowedText sessionId, BorrowedText vmUuid);
