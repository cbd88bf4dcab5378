#include "tls_verify.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <stdexcept>
#include <string>

#include <asio.hpp>
#include <asio/ssl.hpp>

namespace check {

void VerifyServerCertificate(const std::string& host, int port, const std::string& caFile) {
  asio::ssl::context context(asio::ssl::context::tls_client);
  asio::error_code error;
  context.load_verify_file(caFile, error);
  if (error) throw std::runtime_error("TLS: cannot load " + caFile + ": " + error.message());
  context.set_verify_mode(asio::ssl::verify_peer);

  asio::io_context io;
  asio::ssl::stream<asio::ip::tcp::socket> stream(io, context);
  asio::ip::tcp::resolver resolver(io);
  const auto endpoints = resolver.resolve(host, std::to_string(port), error);
  if (error) throw std::runtime_error("TLS: " + host + ": " + error.message());
  asio::connect(stream.lowest_layer(), endpoints, error);
  if (error) throw std::runtime_error("TLS: " + host + ": " + error.message());
  SSL_set_tlsext_host_name(stream.native_handle(), host.c_str());
  stream.handshake(asio::ssl::stream_base::client, error);
  if (error) {
    const long result = SSL_get_verify_result(stream.native_handle());
    if (result != X509_V_OK)
      throw std::runtime_error(std::string("TLS: certificate verify failed: ") +
                               X509_verify_cert_error_string(result));
    throw std::runtime_error("TLS: " + error.message());
  }
  stream.shutdown(error);  // a polite end; the answer does not matter
}

}  // namespace check
