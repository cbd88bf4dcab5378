#include "xen3_session.h"

#include <locale>
#include <sstream>
#include <stdexcept>

#include <openssl/err.h>

#include "platform.h"
#include "xs_requests.h"

namespace {

// Loads one of the client files; any failure is the invalid-argument system error,
// naming the file.
template <typename Load>
void loadClientFile(const std::string& path, Load load) {
  asio::error_code error;
  load(path, error);
  if (error) {
    ERR_clear_error();
    throw asio::system_error(asio::error::invalid_argument, path);
  }
}

}  // namespace

Xen3SessionImpl::Xen3SessionImpl(int32_t dataInterval)
    : conversation_(this), state_(std::make_shared<State>()), dataInterval_(dataInterval) {}

Xen3SessionImpl::~Xen3SessionImpl() {
  io_.stop();
  // A session destroyed without Close may still have its listener waiting on the back
  // channel: wake the pass and wait for it, at most the stop time-out. A pass that runs
  // on after that keeps the state alive (it never reaches the session), closes the socket
  // itself when it wakes, and the state goes with its thread. Otherwise the state goes
  // here, with the session, on this thread.
  state_->wakeListener();
  refresh_.Stop();
  if (refresh_.IsFinished()) {
    asio::error_code ignored;
    state_->closeBackChannel(ignored);
  }
}

// -- transport ----------------------------------------------------------------------------

void Xen3SessionImpl::buildTlsContext() {
  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::sslv23);
  // An encrypted key must fail to load rather than prompt on the console.
  context->set_password_callback(
      [](std::size_t, asio::ssl::context::password_purpose) { return std::string(); });
  const std::string directory = platform::LibraryDirectory();
  loadClientFile(directory + "xencert.pem", [&](const std::string& path, asio::error_code& error) {
    context->use_certificate_chain_file(path, error);
  });
  loadClientFile(directory + "certChain.pem", [&](const std::string& path, asio::error_code& error) {
    context->use_certificate_file(path, asio::ssl::context::pem, error);
  });
  loadClientFile(directory + "key.pem", [&](const std::string& path, asio::error_code& error) {
    context->use_private_key_file(path, asio::ssl::context::pem, error);
  });
  tls_ = std::move(context);
}

void Xen3SessionImpl::resolveServer(const std::string& host, int32_t port) {
  std::ostringstream portText;
  portText.imbue(std::locale::classic());
  portText << port;
  asio::ip::tcp::resolver resolver(io_);
  const asio::ip::tcp::resolver::results_type results = resolver.resolve(host, portText.str());
  if (results.empty()) throw asio::system_error(asio::error::host_not_found, "resolve");
  endpoint_ = results.begin()->endpoint();
  resolved_ = true;
}

std::unique_ptr<Xen3Stream> Xen3SessionImpl::openConnection() { return connect(io_); }

std::unique_ptr<Xen3Stream> Xen3SessionImpl::connect(asio::io_context& io) {
  if (!tls_ || !resolved_) throw std::runtime_error("xen3 session is not connected");
  auto stream = std::make_unique<Xen3Stream>(io, *tls_);
  stream->lowest_layer().open(endpoint_.protocol());
  stream->lowest_layer().connect(endpoint_);

  // The handshake is bounded by the frame time-out: a peer that accepts the TCP
  // connection and then stays silent must not hold the caller forever.
  asio::error_code result = asio::error::would_block;
  stream->async_handshake(asio::ssl::stream_base::client, [&](const asio::error_code& error) { result = error; });
  if (!RunWithTimeLimit(io, *stream, handshakeTimeout_)) throw asio::system_error(asio::error::timed_out, "TLS handshake");
  if (result) throw asio::system_error(result, "TLS handshake");
  return stream;
}

Xen3Stream& Xen3SessionImpl::openBackChannel() {
  State& s = *state_;
  if (!s.backChannel) {
    std::unique_ptr<Xen3Stream> connection = connect(s.io);
    std::lock_guard<std::mutex> guard(s.backChannelLock);
    s.tls = tls_;
    s.backChannel = std::move(connection);
    s.backChannelDown = false;
  }
  return *s.backChannel;
}

Receiver& Xen3SessionImpl::backChannelReceiver() {
  Xen3Stream& connection = openBackChannel();
  if (!state_->receiver) state_->receiver = std::make_unique<Receiver>(connection);
  return *state_->receiver;
}

void Xen3SessionImpl::State::wakeListener() {
  {
    std::lock_guard<std::mutex> guard(backChannelLock);
    if (!backChannel || backChannelDown) return;
    backChannelDown = true;
    // Runs in the listener's next or current wait, on its thread; closing the socket
    // aborts the pending read. Without a listener it never runs and goes with io.
    asio::post(io, [this] {
      asio::error_code ignored;
      closeBackChannel(ignored);
    });
  }
  figuresEnd();
}

void Xen3SessionImpl::State::closeBackChannel(asio::error_code& error) {
  {
    std::lock_guard<std::mutex> guard(backChannelLock);
    if (!backChannel) return;
    backChannelDown = true;
    if (backChannel->lowest_layer().is_open()) backChannel->lowest_layer().close(error);
  }
  figuresEnd();
}

void Xen3SessionImpl::State::figuresEnd() {
  {
    std::lock_guard<std::mutex> guard(figuresLock);
    figuresEnded = true;
  }
  figuresCv.notify_all();
}

bool Xen3SessionImpl::State::backChannelLost() {
  std::lock_guard<std::mutex> guard(backChannelLock);
  return !backChannel || backChannelDown || !backChannel->lowest_layer().is_open();
}

// -- session ------------------------------------------------------------------------------

void Xen3SessionImpl::Connect(const std::string& address, const std::string& userName,
                              const std::string& password, int32_t port) {
  {
    std::lock_guard<std::mutex> guard(state_->figuresLock);
    state_->figuresIn = false;
    state_->figuresEnded = false;
  }
  buildTlsContext();
  resolveServer(address, port);
  conversation_.setCredentials(userName, password);
  std::unique_ptr<ReplyStatus> status = conversation_.signOnMain();
  if (!status || !status->success) return;  // Update will report the lost connection
  status = conversation_.signOnBack(dataInterval_);
  if (!status || !status->success) return;  // signed on without measurements
  backChannelReceiver();
  // The worker holds the state for as long as it runs, whatever becomes of the session.
  refresh_.SetTask(state_);
  refresh_.Start();
}

void Xen3SessionImpl::Close() {
  // The listener closes the socket on its own thread when it wakes; without a listener
  // (or once it has ended) the socket is closed here.
  state_->wakeListener();
  refresh_.Stop();
  if (refresh_.IsFinished()) {
    asio::error_code error;
    state_->closeBackChannel(error);
    if (error) throw asio::system_error(error, "close");
  }
  conversation_.signOffMain();
  vmsPopulated_ = false;
}

void Xen3SessionImpl::RestartHost() { conversation_.shutdownHost(kXsReboot); }

void Xen3SessionImpl::ShutdownHost() { conversation_.shutdownHost(kXsHalt); }

void Xen3SessionImpl::FillVMList(IVmCollection* collection) {
  collection_ = collection;
  Update();
}
