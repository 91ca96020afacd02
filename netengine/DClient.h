#ifndef NETENGINE_DCLIENT_H
#define NETENGINE_DCLIENT_H

// DClient: one TCP connection on the engine's I/O service. It connects out by
// host name (resolved asynchronously) or takes over an accepted socket, keeps
// one receive outstanding, and writes a chunked send queue with gather writes,
// one send at a time. Results and failures reach subclasses through the
// virtual handlers, always from inside DEngine::update.
// The socket, receive area and send queue live in a block shared with the
// outstanding operations, so deleting the connection at any moment is safe.

#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace libkorvet {

class DBuffer;
class DEngine;

// The outcome passed to DClient::connectHandler.
enum NetworkCode {
  connectOk = 0,
  resolveFailed = -1,
  closeFailed = -2,
  connectFailed = -3
};

class DClient {
 public:
  typedef boost::asio::ip::tcp::socket Socket;

  static const unsigned int DEFAULT_BUFFER_SIZE = 16384;
  static const unsigned int MIN_BUFFER_SIZE = 1024;

  // An unconnected connection; bufferSize is raised to at least 1024.
  explicit DClient(DEngine* e);
  DClient(DEngine* e, unsigned int bufferSize);
  // Takes ownership of a connected socket (from the listener) and starts
  // receiving at once. Requires: the socket uses e's I/O service.
  DClient(DEngine* e, Socket* socket);
  DClient(DEngine* e, Socket* socket, unsigned int bufferSize);
  virtual ~DClient();

  DClient(const DClient&) = delete;
  DClient& operator=(const DClient&) = delete;

  // Queues a copy of all bytes of data and starts sending if idle.
  virtual void send(const DBuffer& data);
  // Bytes queued and not yet confirmed by the socket, in-flight ones included.
  virtual int unsentBytes();
  virtual void connectHandler(std::string text, NetworkCode code);
  // The send queue became empty.
  virtual void sendHandler();
  virtual void receiveHandler(DBuffer& data);
  // The connection failed or ended; the socket is closed right after.
  virtual void errorHandler(std::string text);
  virtual void delayToggled();

  // Closes any open socket, then resolves host and connects; the outcome
  // arrives through connectHandler. May be called again at any time.
  void startConnect(const std::string& host, unsigned short port);
  // Starts the next send unless one is outstanding; reports an empty queue
  // through sendHandler.
  void sendBytes();
  void startReceive();
  // While held, no new receive starts (one already outstanding still
  // delivers): the peer's bytes wait in the system's buffers and TCP slows
  // it down. For a receiver that has spent its budget of work for now.
  void holdReceive();
  // Receives again, if the connection is up.
  void resumeReceive();
  bool isReceiveHeld() const { return receiveHeld; }
  // Bytes the socket took from the send queue since the connection was made.
  unsigned long long sentBytes() const { return totalSent; }
  // Shuts down and closes the socket; outstanding operations end silently.
  bool closeSocket();
  void checkConnected();
  bool isConnected() const;
  // delay true keeps the operating system's send delay (Nagle), false sends
  // small writes at once. Calls delayToggled() either way.
  bool setDelay(bool delay);
  bool getDelayEnabled() const;
  std::string getLocalAddress();
  std::string getRemoteAddress();
  unsigned int getBufferSize() const;
  std::string getErrMsg() const;
  // How the last failure came: the peer closed the connection (end of
  // file), or nothing listened where the connect went. For the words a
  // person is shown; errMsg keeps the system's text.
  bool closedByPeer() const { return peerClosed; }
  bool connectRefused() const { return refused; }

  static int getNumInstances() { return -1; }

 protected:
  // True while this connection exists. Code that calls out to a handler
  // which may delete the connection keeps a copy and checks it afterwards.
  std::shared_ptr<const bool> lifeToken() const;

  DEngine* engine;
  std::string errMsg;

 private:
  struct IoState;

  void init(Socket* socket, unsigned int size);
  void connectNext(unsigned int attempt);
  void resolveHandler(const boost::system::error_code& error,
                      const boost::asio::ip::tcp::resolver::results_type& results,
                      unsigned int attempt);
  void connectFinished(const boost::system::error_code& error, unsigned int attempt);
  void receiveFinished(const boost::system::error_code& error, std::size_t n);
  void sendFinished(const boost::system::error_code& error, std::size_t n, unsigned int attempt);
  void reportError(const boost::system::error_code& error);
  static std::string conditionText(const boost::system::error_code& error);

  std::shared_ptr<IoState> state;
  unsigned int bufferSize;
  unsigned long long totalSent;
  bool sending;
  bool receiveHeld;
  bool delayEnabled;
  bool connected;
  bool peerClosed = false;
  bool refused = false;
};

}  // namespace libkorvet

#endif  // NETENGINE_DCLIENT_H
