// A host and two clients in separate processes over loopback, each painting
// its own strokes into the same area: every client's canvas ends equal to the
// host's, segment by segment and pixel by pixel. The peers run at the game's
// tick rate and give up on their own after a deadline.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EnginePump.h"

extern char** environ;

namespace {

const std::string PEER = std::string(BRELVIN_BINARY_DIR) + "/brelvin_peer";

pid_t spawn(const std::vector<std::string>& args, const std::string& log) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, PEER.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int exitCode(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string slurp(const std::string& path) {
  std::ifstream f(path.c_str());
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace

TEST(TwoProcess, ClientsConvergeOnTheHostsCanvas) {
  struct stat info;
  ASSERT_EQ(0, stat(PEER.c_str(), &info)) << PEER << " is missing: build the brelvin_peer target first";

  char dirTemplate[] = "/tmp/brelvin_peers_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dirTemplate));
  std::string dir = dirTemplate;
  std::string port = std::to_string(testnet::unusedPort());
  const std::string deadline = "240000";

  pid_t host = spawn({PEER, "--host", "1600", "1600", "--clients", "2", "--port", port, "--seed", "1",
                      "--area", "200", "200", "400", "400", "--deadline-ms", deadline, "--out", dir + "/host.txt"},
                     dir + "/host.log");
  ASSERT_GT(host, 0);
  // Client 0 paints over part of the host's area, client 1 where nobody else does.
  auto joinArgs = [&](int i) {
    std::string n = std::to_string(i);
    std::string corner = i == 0 ? "500" : "1000";
    return std::vector<std::string>{PEER, "--join", "127.0.0.1", "--port", port, "--seed", std::to_string(2 + i),
                                    "--area", corner, corner, "400", "400", "--name", "client" + n,
                                    "--deadline-ms", deadline, "--out", dir + "/client" + n + ".txt"};
  };
  std::vector<pid_t> clients;
  for (int i = 0; i < 2; ++i) {
    clients.push_back(spawn(joinArgs(i), dir + "/client" + std::to_string(i) + ".log"));
    ASSERT_GT(clients.back(), 0);
  }

  // Clients retry until the host listens; every peer ends by itself.
  std::vector<int> clientCodes;
  for (pid_t client : clients) clientCodes.push_back(exitCode(client));
  int hostCode = exitCode(host);

  EXPECT_EQ(0, hostCode) << slurp(dir + "/host.log");
  for (size_t i = 0; i < clientCodes.size(); ++i)
    EXPECT_EQ(0, clientCodes[i]) << slurp(dir + "/client" + std::to_string(i) + ".log");

  std::string hostView = slurp(dir + "/host.txt");
  ASSERT_NE(std::string::npos, hostView.find("segments 256\n")) << hostView;
  EXPECT_EQ(hostView, slurp(dir + "/client0.txt"));
  EXPECT_EQ(hostView, slurp(dir + "/client1.txt"));

  // The host's canvas holds client 1's strokes: blocks 10 to 13 in both
  // directions (16 blocks a row) only it paints, and they are not blank like
  // block 0, which nobody paints.
  std::istringstream lines(hostView);
  std::string line, blankCRC;
  int paintedByClient1 = 0;
  while (std::getline(lines, line)) {
    if (line.compare(0, 4, "crc ") != 0) continue;
    std::istringstream fields(line.substr(4));
    int segment = 0;
    std::string crc;
    fields >> segment >> crc;
    if (segment == 0) blankCRC = crc;
    int bx = segment % 16, by = segment / 16;
    if (bx >= 10 && bx <= 13 && by >= 10 && by <= 13 && crc != blankCRC) ++paintedByClient1;
  }
  EXPECT_GT(paintedByClient1, 0);
  for (const char* name : {"host", "client0", "client1"}) {
    std::remove((dir + "/" + name + ".txt").c_str());
    std::remove((dir + "/" + name + ".log").c_str());
  }
  rmdir(dir.c_str());
}
