// The tests' access to the xen3 session's and receiver's time-outs and the back
// channel's I/O service.
#pragma once
#include <chrono>
#include <cstdint>

#include <asio.hpp>

#include "receiver.h"
#include "refresh_thread_peer.h"
#include "xen3_session.h"

class Xen3SessionTestPeer {
 public:
  // The bound of every TLS handshake (10 seconds, like the frame time-out).
  static void SetHandshakeTimeout(Xen3SessionImpl& session, std::chrono::milliseconds timeout) {
    session.handshakeTimeout_ = timeout;
  }
  // How long Close and destruction wait for the listener (10 seconds).
  static void SetStopTimeout(Xen3SessionImpl& session, std::chrono::milliseconds timeout) {
    RefreshThreadTestPeer::SetStopTimeout(session.refresh_, timeout);
  }
  // The back channel's I/O service, which the listener runs while it waits for a push.
  static asio::io_context& BackChannelService(Xen3SessionImpl& session) { return session.state_->io; }
};

class ReceiverTestPeer {
 public:
  // The frame time-out in seconds (10).
  static void SetFrameTimeout(Receiver& receiver, int32_t seconds) { receiver.frameTimeout_ = seconds; }
};
