// The connections of the xen3 protocol: TLS streams over TCP, one per main-channel
// request and one lasting back channel per session.
#pragma once
#include <chrono>
#include <cstddef>

#include <asio.hpp>
#include <asio/ssl.hpp>

class XsMessage;

// A connection: a TLS stream bound to the session's I/O service and TLS context. It owns
// its TCP socket; destroying it closes the socket. No TLS close-notify is ever sent.
using Xen3Stream = asio::ssl::stream<asio::ip::tcp::socket>;

// Lets the request write itself into memory and writes all of it to the connection.
// Throws asio::system_error when the write fails; nothing is retried.
void sendMessage(Xen3Stream& connection, const XsMessage& request);

// Runs `io` on the calling thread until its work is done or `limit` has passed (without
// a limit when it is zero or less), as the timed operations of both channels do. When
// the limit expires, closes the connection's socket, which ends every operation pending
// on it where a cancel might not, and runs `io` on until their handlers have run; the
// connection is of no further use then. A handler that throws ends the run the same way,
// and its exception reaches the caller once the other handlers have run, so no handler
// bound to the caller's locals stays queued. Returns false when the limit expired;
// leaves `io` ready for its next run.
bool RunWithTimeLimit(asio::io_context& io, Xen3Stream& connection, std::chrono::steady_clock::duration limit);
