#include "receiver.h"

#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "message_parser.h"

namespace {

[[noreturn]] void throwFrameTooLarge() {
  throw std::runtime_error("Receive frame too large: no frame end within " +
                           std::to_string(kMaxFrameSize) + " bytes");
}

asio::io_context& ioOf(Xen3Stream& connection) {
  return static_cast<asio::io_context&>(connection.get_executor().context());
}

// The read-until condition of a frame: the scanner sees each byte once, however the
// frame arrives, and bytes beyond the frame end stay in the buffer.
struct FrameEndCondition {
  using iterator = asio::buffers_iterator<asio::streambuf::const_buffers_type>;
  using result_type = std::pair<iterator, bool>;
  FrameEndScanner* scanner;

  result_type operator()(iterator begin, iterator end) const {
    if (begin == end) return {end, false};
    const std::size_t found =
        scanner->scan(std::string_view(&*begin, static_cast<std::size_t>(end - begin)));
    if (found == FrameEndScanner::npos) return {end, false};
    return {begin + static_cast<std::ptrdiff_t>(found), true};
  }
};

}  // namespace

Receiver::Receiver(Xen3Stream& connection)
    : connection_(connection), frameTimer_(connection.get_executor()) {}

Receiver::~Receiver() {
  asio::error_code ignored;
  frameTimer_.cancel(ignored);
}

std::unique_ptr<XsMessage> Receiver::receiveFrame() {
  asio::io_context& io = ioOf(connection_);
  lastError_.clear();
  timedOut_ = false;
  frameLength_ = 0;
  if (frameTimeout_ > 0) {
    frameTimer_.expires_from_now(boost::posix_time::time_duration(0, 0, frameTimeout_, 0));
    frameTimer_.async_wait([this](const asio::error_code& error) { handleTimeout(error); });
  }
  scanner_.reset();
  asio::async_read_until(connection_, buffer_, FrameEndCondition{&scanner_},
                         [this](const asio::error_code& error, std::size_t length) {
                           frameLength_ = length;
                           handleRead(error);
                         });
  try {
    io.run();
  } catch (...) {
    // A handler failed (a cancel that did not work, say): no handler bound to this
    // receiver may stay queued on the session's I/O service. Closing the socket ends
    // every operation pending on it, which a cancel may not, so the run that lets their
    // handlers go is bounded. The connection is of no further use after a failed receive.
    asio::error_code ignored;
    frameTimer_.cancel(ignored);
    connection_.lowest_layer().close(ignored);
    for (;;) {
      io.restart();
      try {
        io.run();
        break;
      } catch (...) {
        // another failing handler; the rest still have to run
      }
    }
    io.restart();
    throw;
  }
  io.restart();

  // A receive that outlived its time-out reports the time-out itself, not the abort of
  // the read that the time-out caused.
  if (timedOut_) throw std::runtime_error("Receive frame timeout");
  if (lastError_) {
    if (lastError_ == asio::error::not_found) throwFrameTooLarge();
    throw asio::system_error(lastError_);
  }
  return takeFrame(frameLength_, true);
}

std::unique_ptr<XsMessage> Receiver::receiveFrameBlocking() {
  // The connection's I/O service is the back channel's own: running it here blocks
  // this thread until the frame is complete or the read fails, and lets another thread
  // end the wait by posting a close of the socket.
  asio::io_context& io = ioOf(connection_);
  asio::error_code error = asio::error::would_block;
  std::size_t length = 0;
  scanner_.reset();
  asio::async_read_until(connection_, buffer_, FrameEndCondition{&scanner_},
                         [&](const asio::error_code& result, std::size_t n) {
                           error = result;
                           length = n;
                         });
  io.restart();
  while (error == asio::error::would_block) {
    if (io.run_one() == 0) {
      // Stopped with the read still pending: abort it so that no handler outlives
      // this call, then wait for its completion.
      asio::error_code ignored;
      connection_.lowest_layer().cancel(ignored);
      io.restart();
    }
  }
  if (error) {
    if (error == asio::error::not_found) throwFrameTooLarge();
    throw asio::system_error(error);
  }
  return takeFrame(length, false);
}

void Receiver::handleRead(const asio::error_code& error) {
  if (frameTimeout_ > 0) frameTimer_.cancel();
  if (!error) {
    std::cout << "Successful receive\n";
  } else {
    std::cout << "Receive error: " << error.message() << "\n";
    lastError_ = error;
  }
}

void Receiver::handleTimeout(const asio::error_code& error) {
  if (error == asio::error::operation_aborted) return;
  std::cout << "timeout receive\n";
  timedOut_ = true;
  cancelRead();
}

void Receiver::cancelRead() { connection_.lowest_layer().cancel(); }

std::unique_ptr<XsMessage> Receiver::takeFrame(std::size_t length, bool wrapParserErrors) {
  // The frame is everything up to and including its empty line; what follows it stays
  // buffered for the next receive.
  const std::string_view frame(static_cast<const char*>(buffer_.data().data()), length);
  MessageTree tree;
  try {
    parseFrame(frame, tree);
  } catch (const parser_exception& e) {
    buffer_.consume(length);
    if (wrapParserErrors) throw std::runtime_error(std::string("Parser exception: ") + e.what());
    throw;
  }
  buffer_.consume(length);
  return readMessage(tree);
}
