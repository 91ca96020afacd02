// brelvin-host: hosts a session without a display. The session is the
// program's own (network facade, session server and canvas, stepped like the
// game); status and chat lines go to standard output, lines typed on standard
// input are sent as the host's chat, and the picture is saved every N seconds
// and once more when SIGINT or SIGTERM ends the host, when it changed.
//
//   brelvin-host WIDTH HEIGHT [options]       a blank canvas
//   brelvin-host --picture FILE.png [options] the picture as the canvas
//   brelvin-host --resume [WIDTH HEIGHT] [options]
//                the newest picture of the pictures folder, or a blank canvas
//   options: [--port P] [--bandwidth B] [--save-every SECONDS]
//            [--pictures DIR] [--session NAME] [--name NAME]
//            [--password-file FILE]
//
// Exit status: 0 after a signal, 1 when the session could not start or
// failed, 2 for bad arguments (with the usage text) or a picture that cannot
// be the canvas.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "AllegWorker.h"
#include "Autosave.h"
#include "ChatProtocol.h"
#include "DEngine.h"
#include "HeadlessSession.h"
#include "HostCommands.h"
#include "HostAccess.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "PictureLoader.h"
#include "WorldMap.h"

using libkorvet::DEngine;

namespace {

const char* const USAGE =
    "usage: brelvin-host (WIDTH HEIGHT | --picture FILE.png | --resume [WIDTH HEIGHT])\n"
    "                    [--port P] [--bandwidth B] [--save-every SECONDS]\n"
    "                    [--pictures DIR] [--session NAME] [--name NAME]\n"
    "                    [--password-file FILE]\n"
    "Hosts a Brelvin session without a display on a canvas of WIDTH x HEIGHT pixels\n"
    "(1600 to 10000 a side), or on a PNG picture of that size.\n"
    "  --picture FILE.png    the picture is the canvas, and its size the canvas's\n"
    "  --resume              start from the newest picture in the pictures folder\n"
    "                        (a blank WIDTH x HEIGHT canvas when there is none)\n"
    "  --port P              session port (5050; 0 lets the system choose)\n"
    "  --bandwidth B         synchronization bytes per second and client\n"
    "                        (10000000: joins paced by the link; 65535 or less:\n"
    "                        the steady pacing)\n"
    "  --save-every SECONDS  save the picture this often if it changed (60; 0: only\n"
    "                        when stopping), as DIR/autosave-<session name>.png\n"
    "  --pictures DIR        folder of the saved pictures (pictures)\n"
    "  --session NAME        the session's name, for its picture (Brelvin)\n"
    "  --name NAME           the host's name in chat and the player list (host)\n"
    "  --password-file FILE  players must know the password on the file's first\n"
    "                        line (none: an open session)\n"
    "Lines typed on standard input are sent as chat, except the commands /who,\n"
    "/kick NAME, /ban NAME, /unban ADDRESS, /lock, /unlock and /undo NAME MINUTES,\n"
    "answered on standard output. Ctrl+C or SIGTERM stops the host after a last save.\n";

struct Options {
  unsigned int width = 0;
  unsigned int height = 0;
  unsigned short port = KivServer::SESSION_PORT;
  std::string bandwidth = KivSettings::LAN_SYNC_BANDWIDTH;
  long saveEvery = KivSettings::DEFAULT_AUTOSAVE_SECONDS;
  std::string session = "Brelvin";
  std::string pictures = "pictures";
  std::string name = "host";
  std::string picture;
  std::string password;
  bool resume = false;
};

[[noreturn]] void usage(const std::string& why) {
  std::cerr << "brelvin-host: " << why << "\n" << USAGE;
  std::exit(2);
}

long number(const std::string& what, const std::string& text, long low, long high) {
  int value = 0;
  if (!DEngine::strToInt(text, value) || value < low || value > high)
    usage(what + " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
          ", not \"" + text + "\"");
  return value;
}

Options parse(int argc, char** argv) {
  Options o;
  std::vector<std::string> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage("missing value after " + a);
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << USAGE;
      std::exit(0);
    } else if (a == "--port") {
      o.port = static_cast<unsigned short>(number("the port", value(), 0, 65535));
    } else if (a == "--bandwidth") {
      // As the program's option, except 0, which would never repair a client.
      o.bandwidth = value();
      number("the bandwidth", o.bandwidth, 1, 2147483647);
    } else if (a == "--save-every") {
      o.saveEvery = number("--save-every", value(), 0, KivSettings::MAX_AUTOSAVE_SECONDS);
    } else if (a == "--pictures") {
      o.pictures = value();
      if (o.pictures.empty()) usage("--pictures needs a folder");
    } else if (a == "--session") {
      o.session = value();
      if (o.session.empty()) usage("--session needs a name");
    } else if (a == "--picture") {
      o.picture = value();
      if (o.picture.empty()) usage("--picture needs a file");
    } else if (a == "--resume") {
      o.resume = true;
    } else if (a == "--name") {
      o.name = value();
      if (o.name.empty() || o.name.size() > ChatProtocol::MAX_FIELD_SIZE) usage("the name must be 1 to 255 bytes");
    } else if (a == "--password-file") {
      std::string why;
      if (!HostAccess::readPasswordFile(value(), o.password, why)) usage(why);
    } else if (a.compare(0, 1, "-") == 0) {
      usage("unknown option " + a);
    } else {
      sizes.push_back(a);
    }
  }
  if (sizes.size() > 2) usage("unexpected argument " + sizes[2]);
  if (!o.picture.empty() && o.resume) usage("--picture and --resume name different pictures");
  if (!o.picture.empty() && !sizes.empty()) usage("--picture takes the canvas's size from the file");
  if (sizes.size() == 1 || (sizes.empty() && o.picture.empty() && !o.resume)) usage("WIDTH and HEIGHT are needed");
  if (sizes.size() == 2) {
    o.width = static_cast<unsigned int>(number("WIDTH", sizes[0], WorldMap::MIN_MAP_SIZE, WorldMap::MAX_MAP_SIZE));
    o.height = static_cast<unsigned int>(number("HEIGHT", sizes[1], WorldMap::MIN_MAP_SIZE, WorldMap::MAX_MAP_SIZE));
  }
  if (!KivSettings::setSyncBandwidth(o.bandwidth)) usage(KivSettings::getErrMsg());
  return o;
}

volatile std::sig_atomic_t stopSignal = 0;

// The first signal asks for a clean stop with a last save; a second one
// ends the host at once, for a save that takes too long.
void onStop(int signo) {
  if (stopSignal != 0) {
    signal(signo, SIG_DFL);
    raise(signo);
    return;
  }
  stopSignal = signo;
}

void catchStops() {
  struct sigaction action = {};
  action.sa_handler = onStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // Output closed by the reader must not end the session.
  signal(SIGPIPE, SIG_IGN);
}

// Whole lines typed on standard input since the last call; stops reading
// at its end. Never waits.
class ChatInput {
 public:
  std::vector<std::string> takeLines() {
    std::vector<std::string> lines;
    while (open) {
      pollfd p = {STDIN_FILENO, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0 || (p.revents & (POLLIN | POLLHUP)) == 0) break;
      char buf[1024];
      const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) {
        open = false;
        break;
      }
      pending.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() > ChatProtocol::MAX_FIELD_SIZE) line.resize(ChatProtocol::MAX_FIELD_SIZE);
      if (!line.empty()) lines.push_back(line);
    }
    // A line longer than any chat line is cut where it stands.
    if (pending.size() > ChatProtocol::MAX_FIELD_SIZE) {
      lines.push_back(pending.substr(0, ChatProtocol::MAX_FIELD_SIZE));
      pending.clear();
    }
    return lines;
  }

 private:
  std::string pending;
  bool open = true;
};

}  // namespace

int main(int argc, char** argv) {
  const Options opt = parse(argc, argv);
  AllegWorker::initHeadless();
  KivSettings::setFlushFrequency("15");

  HeadlessSession session;
  NetSystem& net = session.net();
  net.setSessionPort(opt.port);
  net.setPlayerName(opt.name);
  net.setHostPassword(opt.password);
  std::string picture = opt.picture;
  if (opt.resume) {
    std::vector<std::string> skipped;
    picture = PictureLoader::newestIn(opt.pictures, &skipped);
    for (const std::string& why : skipped) std::cout << "brelvin-host: skipped: " << why << std::endl;
    if (picture.empty() && opt.width == 0) {
      std::cerr << "brelvin-host: no picture to resume in " << opt.pictures
                << ", and no WIDTH HEIGHT for a blank canvas" << std::endl;
      return 2;
    }
    if (picture.empty()) std::cout << "brelvin-host: no picture in " << opt.pictures << ": a blank canvas" << std::endl;
  }
  if (!picture.empty()) {
    std::string error;
    PictureLoader::HostResult hosted = PictureLoader::host(picture, net, session.map(), error);
    if (hosted == PictureLoader::BAD_PICTURE) {
      std::cerr << "brelvin-host: " << error << std::endl;
      return 2;
    }
    if (hosted == PictureLoader::NO_SESSION) {
      std::cout << "brelvin-host: couldn't host: " << error << std::endl;
      return 1;
    }
  } else if (!net.hostNewGame(opt.width, opt.height, &session.map())) {
    std::cout << "brelvin-host: couldn't host: " << net.getErrMsg() << std::endl;
    return 1;
  }
  catchStops();
  std::cout << "brelvin-host: hosting a " << session.map().getPixelWidth() << " x " << session.map().getPixelHeight()
            << " canvas on port " << net.getListenPort();
  if (!picture.empty()) std::cout << " from " << picture;
  std::cout << std::endl;

  Autosave autosave(&session.engine(), opt.pictures);
  autosave.begin(opt.session, static_cast<int>(opt.saveEvery), session.map());
  ChatInput input;
  int result = 0;

  while (stopSignal == 0) {
    session.waitForTick();
    if (!net.netOK()) {
      std::cout << "brelvin-host: the session failed: " << net.getErrMsg() << std::endl;
      result = 1;
      break;
    }
    for (const HeadlessSession::Line& line : session.takeLines())
      if (!line.status) std::cout << line.owner << ": " << line.text << std::endl;
    for (const std::string& line : input.takeLines()) {
      if (hostcommands::isCommand(line)) {
        for (const std::string& answer : hostcommands::run(line, *net.getServer())) std::cout << answer << std::endl;
      } else {
        net.sendChat(line);
      }
    }
    autosave.tick(session.map());
  }

  autosave.finish(session.map());
  std::cout << "brelvin-host: stopped" << std::endl;
  return result;
}
