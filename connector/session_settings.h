// The connection settings of an automation factory object, and the construction of
// connected back-end sessions from them: the one place that knows both back ends, above
// them and the core model they share.
#pragma once
#include <cstdint>
#include <string>

#include "xen4_options.h"

class XenSessionImpl;

enum XenConnectionModeValue : int32_t {
  kModeAutodetect = 1,   // MODE_AUTODETECT: xen3 on 6936, then xen4 on 443
  kModeXen3Protocol = 2, // MODE_XEN3_PROTOCOL
  kModeXen4Protocol = 3, // MODE_XEN4_PROTOCOL
};

class SessionSettings {
 public:
  static constexpr int32_t kXen3Port = 6936;
  static constexpr int32_t kXen4Port = 443;

  // Mode 2, port 6936, refreshing delay 5 seconds.
  SessionSettings();

  // Stores the mode and resets the port to the mode's default (-1, 6936 or 443). A mode
  // outside 1..3 is stored and leaves the port as it was.
  void SetConnectionMode(int32_t mode);
  int32_t GetConnectionMode() const { return mode_; }
  int32_t GetPort() const { return port_; }
  void SetPort(int32_t port) { port_ = port; }
  int32_t GetRefreshingDelay() const { return refreshingDelay_; }
  void SetRefreshingDelay(int32_t seconds) { refreshingDelay_ = seconds; }
  // Options of the XenAPI sessions made from now on.
  void SetXen4Options(const Xen4Options& options) { xen4Options_ = options; }
  const Xen4Options& GetXen4Options() const { return xen4Options_; }

  // A new, connected back-end session with its refresh thread running; the caller owns
  // it. Throws on failure, leaving nothing allocated. In autodetect mode a failure of
  // the xen3 attempt is dropped and the xen4 attempt's message is reported.
  XenSessionImpl* CreateSessionImpl(const std::string& address, const std::string& userName,
                                    const std::string& password) const;

 private:
  int32_t mode_;
  int32_t port_;
  int32_t refreshingDelay_;
  Xen4Options xen4Options_;
};
