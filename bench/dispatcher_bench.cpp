// Framed messages through two dispatchers over loopback, against plain
// Boost.Asio socket throughput for the same number of bytes, in one run.
// Both sides are driven the way the program drives the network: one thread
// polling the I/O service (through DEngine::update for the dispatchers).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio.hpp>

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DServer.h"

using namespace libkorvet;
using boost::asio::ip::tcp;

namespace {

typedef std::chrono::steady_clock Clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class Receiver : public DDispatcher {
 public:
  Receiver(DEngine* e, Socket* s) : DDispatcher(e, s) {
    addHandler([this](DBuffer& body) {
      ++messages;
      bytes += body.size();
    });
  }
  void corruptHandler(std::string text) override { std::printf("corrupt: %s\n", text.c_str()); }
  long messages = 0;
  long bytes = 0;
};

class Listener : public DServer {
 public:
  explicit Listener(DEngine* e) : DServer(e), engine(e) {}
  void connectHandler(Socket* s) override { receiver.reset(new Receiver(engine, s)); }
  void errorHandler(std::string text) override { std::printf("listener error: %s\n", text.c_str()); }
  DEngine* engine;
  std::unique_ptr<Receiver> receiver;
};

class Sender : public DDispatcher {
 public:
  using DDispatcher::DDispatcher;
  void connectHandler(std::string, NetworkCode c) override { code = c; done = true; }
  bool done = false;
  int code = 1;
};

// Seconds to move `count` framed bodies of `bodySize` bytes.
double runDispatchers(unsigned int bodySize, long count, bool delay) {
  DEngine engine;
  Listener listener(&engine);
  if (!listener.bind(ipV4, 0) || !listener.startListening()) return -1;
  Sender sender(&engine);
  sender.startConnect("127.0.0.1", listener.getLocalPort());
  while (!sender.done || !listener.receiver) engine.update(100);
  if (sender.code != connectOk) return -1;
  sender.setDelay(delay);

  DBuffer body;
  for (unsigned int i = 0; i < bodySize; ++i) body.appendByte(static_cast<unsigned char>(i * 31));
  const int window = 1 << 20;  // keep the send queue bounded, as a real sender would
  long sent = 0;
  Clock::time_point start = Clock::now();
  while (listener.receiver->messages < count) {
    while (sent < count && sender.unsentBytes() < window) {
      sender.sendMessage(body);
      ++sent;
    }
    engine.update(100);
  }
  double s = secondsSince(start);
  if (listener.receiver->bytes != static_cast<long>(bodySize) * count) std::printf("byte count mismatch!\n");
  return s;
}

// Seconds to move `total` bytes over a plain socket pair with the same
// piece size the connection uses for one send and one receive.
double runRawAsio(long total, std::size_t piece) {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  tcp::socket out(io), in(io);
  out.connect(acceptor.local_endpoint());
  acceptor.accept(in);

  std::vector<unsigned char> source(piece), sink(piece);
  for (std::size_t i = 0; i < piece; ++i) source[i] = static_cast<unsigned char>(i * 31);
  long written = 0, read = 0;
  std::function<void()> write, receive;
  write = [&] {
    std::size_t n = static_cast<std::size_t>(std::min<long>(total - written, static_cast<long>(piece)));
    out.async_write_some(boost::asio::buffer(source.data(), n), [&](const boost::system::error_code& e, std::size_t k) {
      written += static_cast<long>(k);
      if (!e && written < total) write();
    });
  };
  receive = [&] {
    in.async_read_some(boost::asio::buffer(sink), [&](const boost::system::error_code& e, std::size_t k) {
      read += static_cast<long>(k);
      if (!e && read < total) receive();
    });
  };
  Clock::time_point start = Clock::now();
  write();
  receive();
  while (read < total) {
    for (int i = 0; i < 100 && io.poll_one() > 0; ++i) {
    }
    io.restart();
  }
  return secondsSince(start);
}

void compare(const char* label, unsigned int bodySize, long count, bool delay) {
  const long frameBytes = static_cast<long>(bodySize + 5) * count;
  double framed = runDispatchers(bodySize, count, delay);
  double raw = runRawAsio(frameBytes, 16384);
  double framedRate = frameBytes / framed / 1e6, rawRate = frameBytes / raw / 1e6;
  std::printf("%-28s %8ld msgs %9.1f MB | dispatchers %7.3f s %8.1f MB/s %9.0f msg/s | raw asio %7.3f s %8.1f MB/s | ratio %.2f\n",
              label, count, frameBytes / 1e6, framed, framedRate, count / framed, raw, rawRate, framedRate / rawRate);
}

}  // namespace

int main() {
  std::printf("framed messages through two dispatchers vs raw Boost.Asio, loopback, one polling thread\n");
  compare("1 KB bodies, delay on", 1024, 200000, true);
  compare("1 KB bodies, delay off", 1024, 200000, false);
  compare("60 KB bodies, delay on", 60 * 1024, 4000, true);
  compare("60 KB bodies, delay off", 60 * 1024, 4000, false);
  return 0;
}
