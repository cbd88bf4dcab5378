// The connections of the xen3 protocol: TLS streams over TCP, one per main-channel
// request and one lasting back channel per session.
#pragma once
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
