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

Receiver::Receiver(Xen3Stream& connection) : connection_(connection) {}

Receiver::~Receiver() = default;

std::unique_ptr<XsMessage> Receiver::receiveFrame() {
  lastError_.clear();
  frameLength_ = 0;
  scanner_.reset();
  asio::async_read_until(connection_, buffer_, FrameEndCondition{&scanner_},
                         [this](const asio::error_code& error, std::size_t length) {
                           frameLength_ = length;
                           handleRead(error);
                         });
  // A receive that outlived its time-out reports the time-out itself, not the abort of
  // the read that the time-out caused.
  if (!RunWithTimeLimit(ioOf(connection_), connection_, std::chrono::seconds(frameTimeout_))) {
    std::cout << "timeout receive\n";
    throw std::runtime_error("Receive frame timeout");
  }
  if (lastError_) {
    if (lastError_ == asio::error::not_found) throwFrameTooLarge();
    throw asio::system_error(lastError_);
  }
  return takeFrame(frameLength_, true);
}

std::unique_ptr<XsMessage> Receiver::receiveFrameBlocking() {
  // The connection's I/O service is the back channel's own: running it here blocks
  // this thread until the frame is complete or the read fails, and lets another thread
  // end the wait by posting a close of the socket. Nothing stops that service, so the
  // run ends only once the read's handler has run.
  asio::error_code error;
  std::size_t length = 0;
  scanner_.reset();
  asio::async_read_until(connection_, buffer_, FrameEndCondition{&scanner_},
                         [&](const asio::error_code& result, std::size_t n) {
                           error = result;
                           length = n;
                         });
  RunWithTimeLimit(ioOf(connection_), connection_, std::chrono::steady_clock::duration::zero());
  if (error) {
    if (error == asio::error::not_found) throwFrameTooLarge();
    throw asio::system_error(error);
  }
  return takeFrame(length, false);
}

void Receiver::handleRead(const asio::error_code& error) {
  if (!error) {
    std::cout << "Successful receive\n";
  } else {
    std::cout << "Receive error: " << error.message() << "\n";
    lastError_ = error;
  }
}

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
