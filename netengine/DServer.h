#ifndef NETENGINE_DSERVER_H
#define NETENGINE_DSERVER_H

// DServer: a TCP listener on the engine's I/O service. It accepts one
// connection at a time and hands each connected socket to connectHandler,
// whose implementation owns it from then on; a failed accept is reported once
// through errorHandler and stops the listener. Completions run inside
// DEngine::update; deleting the listener at any moment is safe.

#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace libkorvet {

class DEngine;

// The values are the version numbers themselves.
enum IpVersion { ipV4 = 4, ipV6 = 6 };

class DServer {
 public:
  typedef boost::asio::ip::tcp::socket Socket;

  enum ListenState { unbound = 0, bound = 1, listening = 2 };

  explicit DServer(DEngine* e);
  virtual ~DServer();

  DServer(const DServer&) = delete;
  DServer& operator=(const DServer&) = delete;

  // A connection was accepted; the callee owns socket from now on.
  virtual void connectHandler(Socket* socket) = 0;
  // Accepting failed and the listener stopped.
  virtual void errorHandler(std::string text) = 0;

  // Opens the acceptor for the family and binds it to the wildcard address.
  // Port 0 lets the system choose (see getLocalPort()).
  // version is an IpVersion (4 or 6); anything else is refused.
  bool bind(int version, unsigned short port);
  bool startListening();
  // Starts one asynchronous accept. Requires: none is outstanding.
  void getNextConnection();
  // Stops accepting; bind must be called again before listening.
  void close();
  std::string getErrMsg() const;
  // The bound port, or 0 when the acceptor is not open.
  unsigned short getLocalPort() const;

  static int getNumInstances() { return -1; }

 private:
  struct IoState;

  void acceptFinished(const boost::system::error_code& error);

  DEngine* engine;
  std::string errMsg;
  int listenState;
  std::shared_ptr<IoState> state;
};

}  // namespace libkorvet

#endif  // NETENGINE_DSERVER_H
