// Reading one frame (a message followed by an empty line) from a xen3 connection and
// turning it into an XsMessage.
#pragma once
#include <cstdint>
#include <memory>

#include <asio.hpp>
#include <asio/deadline_timer.hpp>

#include "message_parser.h"
#include "xen3_connection.h"
#include "xs_model.h"

class Receiver {
 public:
  // Borrows the connection; the frame timer lives on the connection's I/O service.
  explicit Receiver(Xen3Stream& connection);
  virtual ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Both receives read until the frame's empty line outside quoted texts (a text may
  // hold blank lines), parse the frame and consume it; bytes beyond it stay buffered.
  //
  // The timed receive for replies: waits at most the frame time-out, running the I/O
  // service on the calling thread. Returns null when the frame is not a "msg".
  // Throws asio::system_error for a read error, std::runtime_error "Receive frame
  // timeout" when the time-out expired, "Parser exception: ..." for a frame that does
  // not parse, and a std::runtime_error when the frame exceeds kMaxFrameSize.
  std::unique_ptr<XsMessage> receiveFrame();

  // The untimed receive for the back channel: blocks until a frame is complete or the
  // read fails (asio::system_error). A parser_exception reaches the caller unchanged.
  // Runs the connection's I/O service, which must not be the one of the main channel
  // (the back channel has its own), so that it may run beside a timed receive.
  std::unique_ptr<XsMessage> receiveFrameBlocking();

  // Completion handlers of the timed receive.
  void handleRead(const asio::error_code& error);
  void handleTimeout(const asio::error_code& error);

  Xen3Stream& connection() { return connection_; }
  // The frame time-out in seconds, shortened by tests.
  void SetFrameTimeoutForTesting(int32_t seconds) { frameTimeout_ = seconds; }

 protected:
  // Cancels the pending read when the frame time-out expires; throws asio::system_error
  // when the platform cannot cancel it (older Windows cannot cancel an operation that
  // another thread started).
  virtual void cancelRead();

 private:
  std::unique_ptr<XsMessage> takeFrame(std::size_t length, bool wrapParserErrors);

  Xen3Stream& connection_;
  asio::deadline_timer frameTimer_;
  asio::error_code lastError_;
  bool timedOut_ = false;
  int32_t frameTimeout_ = 10;  // seconds; 0 or less disables the timer
  std::size_t frameLength_ = 0;
  FrameEndScanner scanner_;  // where the frame being read ends
  // Bytes read beyond a frame stay here for the next receive of the same receiver: on
  // the back channel two pushes may arrive in one read, and neither may be lost.
  asio::streambuf buffer_{kMaxFrameSize};
};
