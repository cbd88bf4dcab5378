// Reading one frame (a message followed by an empty line) from a xen3 connection and
// turning it into an XsMessage.
#pragma once
#include <cstdint>
#include <memory>

#include <asio.hpp>

#include "message_parser.h"
#include "xen3_connection.h"
#include "xs_model.h"

class Receiver {
 public:
  // Borrows the connection; both receives run the connection's I/O service.
  explicit Receiver(Xen3Stream& connection);
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Both receives read until the frame's empty line outside quoted texts (a text may
  // hold blank lines), parse the frame and consume it; bytes beyond it stay buffered.
  //
  // The timed receive for replies: waits at most the frame time-out, running the I/O
  // service on the calling thread; when it expires, the connection is closed (see
  // RunWithTimeLimit). Returns null when the frame is not a "msg".
  // Throws asio::system_error for a read error, std::runtime_error "Receive frame
  // timeout" when the time-out expired, "Parser exception: ..." for a frame that does
  // not parse, and a std::runtime_error when the frame exceeds kMaxFrameSize.
  std::unique_ptr<XsMessage> receiveFrame();

  // The untimed receive for the back channel: blocks until a frame is complete or the
  // read fails (asio::system_error). A parser_exception reaches the caller unchanged.
  // Runs the connection's I/O service, which must not be the one of the main channel
  // (the back channel has its own), so that it may run beside a timed receive.
  std::unique_ptr<XsMessage> receiveFrameBlocking();

  Xen3Stream& connection() { return connection_; }

 private:
  friend class ReceiverTestPeer;  // the tests' access to the frame time-out

  // Completion handler of the timed receive.
  void handleRead(const asio::error_code& error);
  std::unique_ptr<XsMessage> takeFrame(std::size_t length, bool wrapParserErrors);

  Xen3Stream& connection_;
  asio::error_code lastError_;
  int32_t frameTimeout_ = 10;  // seconds; 0 or less: no time-out
  std::size_t frameLength_ = 0;
  FrameEndScanner scanner_;  // where the frame being read ends
  // Bytes read beyond a frame stay here for the next receive of the same receiver: on
  // the back channel two pushes may arrive in one read, and neither may be lost.
  asio::streambuf buffer_{kMaxFrameSize};
};
