#include "sim_client.h"

#include <asio.hpp>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace simtest {

namespace {
int EnvInt(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : 0;
}
}  // namespace

bool Available() { return EnvInt("VANTREL_SIM_CONTROL_PORT") != 0; }

SimHost FromEnvironment() {
  SimHost host;
  host.xenapiPort = EnvInt("VANTREL_SIM_XENAPI_PORT");
  host.xen3Port = EnvInt("VANTREL_SIM_XEN3_PORT");
  host.controlPort = EnvInt("VANTREL_SIM_CONTROL_PORT");
  if (const char* c = std::getenv("VANTREL_SIM_CERTS")) host.certs = c;
  return host;
}

std::string Control(const std::string& jsonLine) {
  const SimHost host = FromEnvironment();
  if (!host.controlPort) throw std::runtime_error("not running under the simulated host");
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(host.controlPort)});
  std::string line = jsonLine + "\n";
  asio::write(socket, asio::buffer(line));
  std::string reply;
  asio::read_until(socket, asio::dynamic_buffer(reply), '\n');
  reply.resize(reply.find('\n'));
  return reply;
}

bool ReplyOk(const std::string& reply) {
  return reply.find("\"ok\": true") != std::string::npos || reply.find("\"ok\":true") != std::string::npos;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    int d = -1;
    if (c >= 'A' && c <= 'Z') d = c - 'A';
    else if (c >= 'a' && c <= 'z') d = c - 'a' + 26;
    else if (c >= '0' && c <= '9') d = c - '0' + 52;
    else if (c == '+') d = 62;
    else if (c == '/') d = 63;
    if (d < 0) continue;
    bits = (bits << 6) | static_cast<unsigned>(d);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

std::vector<std::string> Xen3RecordedRequests() {
  const std::string reply = Control(R"({"target": "xen3", "cmd": "requests"})");
  std::vector<std::string> out;
  const std::string key = "\"raw\": \"";
  for (size_t at = reply.find(key); at != std::string::npos; at = reply.find(key, at)) {
    at += key.size();
    const size_t end = reply.find('"', at);
    out.push_back(Base64Decode(reply.substr(at, end - at)));
    at = end;
  }
  return out;
}

void CopyClientCertificates(const std::string& dir) {
  const SimHost host = FromEnvironment();
  // The certificate directory is a Unix path; under Wine it is reachable through drive Z:.
#ifdef _WIN32
  const std::string from = "Z:" + host.certs + "/";
#else
  const std::string from = host.certs + "/";
#endif
  for (const char* name : {"xencert.pem", "certChain.pem", "key.pem"}) {
    std::ifstream in(from + name, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + from + name);
    std::ofstream out(dir + name, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
  }
}

}  // namespace simtest
