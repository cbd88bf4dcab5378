#include "xen3_connection.h"

#include <sstream>
#include <string>

#include "xs_model.h"

void sendMessage(Xen3Stream& connection, const XsMessage& request) {
  std::ostringstream text;
  request.writeTo(text);
  const std::string bytes = text.str();
  asio::write(connection, asio::buffer(bytes));
}

namespace {

// Closes the socket and runs every handler that is left, whatever they throw.
void closeAndDrain(asio::io_context& io, Xen3Stream& connection) {
  asio::error_code ignored;
  connection.lowest_layer().close(ignored);
  for (;;) {
    io.restart();
    try {
      io.run();
      return;
    } catch (...) {
      // another failing handler; the rest still have to run
    }
  }
}

}  // namespace

bool RunWithTimeLimit(asio::io_context& io, Xen3Stream& connection, std::chrono::steady_clock::duration limit) {
  bool inTime = true;
  io.restart();
  try {
    if (limit > limit.zero()) {
      io.run_for(limit);
      // A run whose work is done stops the service; one that is still running has timed out.
      if (!io.stopped()) {
        inTime = false;
        closeAndDrain(io, connection);
      }
    } else {
      io.run();
    }
  } catch (...) {
    closeAndDrain(io, connection);
    io.restart();
    throw;
  }
  io.restart();
  return inTime;
}
