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
