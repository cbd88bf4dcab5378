// The back-end session of the xen3 protocol: TLS connections with client certificates
// to an agent on the Xen host, one per request on the main channel, and one lasting
// back channel on which the agent pushes its measurements.
//
// Threads: every operation runs on the caller's thread, which also runs the session's
// I/O service while it waits for a reply. The refresh thread runs the back-channel
// listener (State::RunOnce), which only reads the back channel and swaps the latest
// metrics.
//
// Lifetime: everything the listener touches (the back channel with its receiver and
// I/O service, the metrics and their locks) lives in a shared state that the refresh
// thread keeps alive. Destroying the session waits at most the refresh thread's stop
// time-out, even when a pass does not return, and such a pass, when it does, touches
// nothing that was freed.
//
// The back channel has an I/O service of its own. Before the listener starts, the
// caller's thread runs it for the back-channel sign-on; afterwards only the listener
// runs it, while it waits for a push. Close and the destructor never touch the socket
// while a listener may be reading it: they post the close to the listener's I/O service,
// which ends the pending read on the listener's own thread, and close the socket
// themselves only once the listener has ended. So no two threads ever work on the
// socket at once, whatever the platform does with a socket closed under a blocked read.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include "receiver.h"
#include "refresh_thread.h"
#include "session_impl.h"
#include "xen3_connection.h"
#include "xen3_conversation.h"
#include "xs_model.h"

class Xen3SessionImpl : public XenSessionImpl {
 public:
  explicit Xen3SessionImpl(int32_t dataInterval);
  ~Xen3SessionImpl() override;

  void Connect(const std::string& address, const std::string& userName, const std::string& password,
               int32_t port) override;
  // Closes the back channel, stops the listener and signs off when due. A second call
  // closes, waits for and sends nothing.
  void Close() override;
  void RestartHost() override;
  void ShutdownHost() override;
  void FillVMList(IVmCollection* collection) override;
  // Fails with "Connection to server lost" once the back channel is gone; otherwise
  // fetches the configuration, creates the VMs on its first run and copies the latest
  // metrics into the host attributes and the VMs.
  void Update() override;
  // True once the listener has stored the first pushed summary since Connect; false at
  // once when the back channel is lost or closed (or was never opened).
  bool WaitForFigures(std::chrono::milliseconds limit) override;

  // Transport.
  // Creates the TLS context from "xencert.pem", "certChain.pem" and "key.pem" in the
  // library directory; asio::system_error (invalid argument) when one does not load.
  void buildTlsContext();
  // Resolves host and port (as decimal text) and keeps the first address for good.
  void resolveServer(const std::string& host, int32_t port);
  // A new main-channel connection to the server address, past the TLS handshake.
  std::unique_ptr<Xen3Stream> openConnection();
  // The back channel, opened on first use; a closed one is returned as it is.
  Xen3Stream& openBackChannel();
  // The receiver of the back channel (opened on first use); it keeps bytes that arrive
  // beyond a frame for the next receive.
  Receiver& backChannelReceiver();

  Xen3Conversation& conversation() { return conversation_; }
  asio::io_context& ioService() { return io_; }
  int32_t dataInterval() const { return dataInterval_; }
  // True while the listener thread runs.
  bool listenerRunning() const { return refresh_.IsRunning(); }

 private:
  friend class Xen3SessionTestPeer;  // the tests' access to time-outs and the back channel's service

  // Everything a listener pass touches; shared with the refresh thread.
  struct State : RefreshTask {
    // One listener pass: waits for the next push and keeps its metrics; false once the
    // back channel is gone.
    bool RunOnce() override;

    // Marks the back channel lost and hands its close to the listener's thread, which
    // ends a read the listener is waiting in. Safe from any thread at any time.
    void wakeListener();
    // Closes the back-channel socket when there is one. Runs on the listener's thread,
    // or on the caller's when no listener runs.
    void closeBackChannel(asio::error_code& error);
    bool backChannelLost();
    // Wakes those waiting for the first summary: the back channel is going or gone.
    void figuresEnd();

    asio::io_context io;  // the back channel's; outlives the back channel and its receiver
    std::shared_ptr<asio::ssl::context> tls;  // the context the back channel was made with
    std::unique_ptr<Xen3Stream> backChannel;
    std::unique_ptr<Receiver> receiver;
    std::mutex backChannelLock;    // guards closing the back channel
    bool backChannelDown = false;  // lost, closing or closed; guarded by backChannelLock
    std::mutex hostMetricsLock;
    std::unique_ptr<XsHostMetrics> hostMetrics;
    std::mutex guestMetricsLock;
    std::unique_ptr<XsGuestMetricsList> guestMetrics;
    // The first summary since Connect is stored (figuresIn) or none will come
    // (figuresEnded); those waiting for it sleep on figuresCv. Taken before
    // backChannelLock, never while holding it.
    std::mutex figuresLock;
    std::condition_variable figuresCv;
    bool figuresIn = false;
    bool figuresEnded = false;
  };

  std::unique_ptr<Xen3Stream> connect(asio::io_context& io);

  asio::io_context io_;
  std::shared_ptr<asio::ssl::context> tls_;
  asio::ip::tcp::endpoint endpoint_;
  bool resolved_ = false;
  Xen3Conversation conversation_;
  std::shared_ptr<State> state_;
  RefreshThread refresh_;  // its worker keeps state_ alive, never this object
  bool vmsPopulated_ = false;
  int32_t dataInterval_;
  std::chrono::milliseconds handshakeTimeout_{10000};  // bounds every TLS handshake, like the frame time-out
};
