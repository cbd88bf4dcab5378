// Host names and addresses of the xen4 connector's URLs.
#include "xen4_address.h"

#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>

#include <algorithm>
#include <cctype>
#include <stdexcept>

std::string Xen4BareHost(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

bool Xen4IsHost(const std::string& host) {
  const std::string bare = Xen4BareHost(host);
  if (bare.empty() || bare.size() > 253) return false;
  if (bare.find(':') != std::string::npos) {
    asio::error_code error;
    asio::ip::make_address_v6(bare, error);
    return !error && bare.find('%') == std::string::npos;
  }
  if (bare.size() != host.size()) return false;  // brackets around a name or an IPv4 address
  return std::all_of(bare.begin(), bare.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
  });
}

std::string Xen4Url(const std::string& host, int32_t port, const std::string& path) {
  if (!Xen4IsHost(host)) throw std::invalid_argument("Not a host name or address: '" + host + "'");
  const std::string bare = Xen4BareHost(host);
  const std::string authority = bare.find(':') != std::string::npos ? "[" + bare + "]" : bare;
  return "https://" + authority + ":" + std::to_string(port) + path;
}

bool Xen4SameAddress(const std::string& a, const std::string& b) {
  const std::string x = Xen4BareHost(a), y = Xen4BareHost(b);
  if (x.empty() || y.empty()) return false;
  asio::error_code ex, ey;
  const asio::ip::address ax = asio::ip::make_address(x, ex), ay = asio::ip::make_address(y, ey);
  if (!ex && !ey) return ax == ay;
  if (!ex || !ey) return false;
  return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), [](char p, char q) {
           return std::tolower(static_cast<unsigned char>(p)) == std::tolower(static_cast<unsigned char>(q));
         });
}

std::vector<std::string> Xen4Resolve(const std::string& name) {
  std::vector<std::string> addresses;
  const std::string bare = Xen4BareHost(name);
  if (bare.empty()) return addresses;
  asio::io_context io;
  asio::ip::tcp::resolver resolver(io);
  asio::error_code ec;
  const auto results = resolver.resolve(bare, "", ec);
  if (ec) return addresses;
  for (const auto& entry : results) addresses.push_back(entry.endpoint().address().to_string());
  return addresses;
}
