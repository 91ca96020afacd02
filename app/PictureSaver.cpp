// Sections: [names and reasons] [writing one picture] [the child process].

#include "PictureSaver.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "KivSettings.h"

// Last: their macros must not leak into the headers above.
#include <allegro.h>
#include <loadpng.h>

namespace {

const char* const OWNER = "PictureSaver";
const int STATUS_COLOR = 80;
const char* const SAVING = "Saving the picture...";
// Past this many pictures of one second the folder is surely not ours to fill.
const int MAX_SUFFIX = 1000;
// A disk with less room than this is taken as the reason a picture came out short.
const unsigned long long NEARLY_FULL_BYTES = 1024 * 1024;

// Every PNG ends with this empty IEND chunk: a file without it was cut off.
const unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const unsigned char PNG_END[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

std::string failure(const std::string& why) { return "Couldn't save the picture: " + why; }

std::string reason(int err, const std::string& folder) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return "the folder " + folder + " is not writable";
    case ENOSPC:
    case EDQUOT:
      return "the disk is full";
    case ENOTDIR:
    case EEXIST:
      return folder + " is not a folder";
    default:
      return err != 0 ? std::strerror(err) : "the picture could not be written";
  }
}

// mkdir -p: every missing folder of the path.
int makeFolders(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    struct stat info;
    if (stat(part.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) return ENOTDIR;
      continue;
    }
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// The add-on reports success for a file whose writes failed (a full disk
// among them), so the file is checked: signature first, end chunk last, and
// on the disk for good before it gets a picture's name. 0 when whole.
int checkWritten(const std::string& path, bool& cutOff) {
  cutOff = false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = 0;
  struct stat info;
  unsigned char head[8], tail[12];
  if (fstat(fd, &info) != 0) {
    err = errno;
  } else if (info.st_size < static_cast<off_t>(sizeof head + sizeof tail) ||
             pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
             pread(fd, tail, sizeof tail, info.st_size - static_cast<off_t>(sizeof tail)) !=
                 static_cast<ssize_t>(sizeof tail) ||
             std::memcmp(head, PNG_SIGNATURE, sizeof head) != 0 || std::memcmp(tail, PNG_END, sizeof tail) != 0) {
    cutOff = true;
  } else if (fsync(fd) != 0) {
    err = errno;
  }
  close(fd);
  return err;
}

bool nearlyFull(const std::string& folder) {
  struct statvfs fs;
  return statvfs(folder.c_str(), &fs) == 0 &&
         static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize < NEARLY_FULL_BYTES;
}

// The add-on's failures leave errno as its last system call left it, often
// unrelated: only the causes a person can act on are named from it.
std::string writeFailure(int err, const std::string& folder) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOSPC:
    case EDQUOT:
      return reason(err, folder);
    default:
      return nearlyFull(folder) ? "the disk is full" : "the file could not be written whole";
  }
}

std::string partName(const std::string& folder, const std::string& base, pid_t writer) {
  return folder + "/." + base + ".png.part-" + std::to_string(writer);
}

// Gives the written part a free name: a hard link refuses a name that
// exists, even one another program took a moment ago; where the file system
// has no hard links, a rename into a name seen free is the next best thing.
// The part's own name goes either way. EEXIST when every name is taken.
int placeNew(const std::string& part, const std::string& folder, const std::string& base, std::string& path) {
  for (int n = 1; n <= MAX_SUFFIX; ++n) {
    path = folder + "/" + base + (n == 1 ? "" : "-" + std::to_string(n)) + ".png";
    int err = link(part.c_str(), path.c_str()) == 0 ? 0 : errno;
    if (err == EEXIST) continue;
    if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS) {
      if (access(path.c_str(), F_OK) == 0) continue;
      err = rename(part.c_str(), path.c_str()) == 0 ? 0 : errno;
    }
    unlink(part.c_str());
    return err;
  }
  return EEXIST;
}

// A rename replaces the old picture in one step: whoever opens the name gets
// the old file or the new one.
int placeReplacing(const std::string& part, const std::string& folder, const std::string& base,
                   std::string& path) {
  path = folder + "/" + base + ".png";
  return rename(part.c_str(), path.c_str()) == 0 ? 0 : errno;
}

void syncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// The outcome crosses the pipe as: ok flag, newline, path, newline, text.
std::string encode(const PictureSaver::Outcome& o) { return (o.ok ? "1\n" : "0\n") + o.path + "\n" + o.text; }

bool decode(const std::string& data, PictureSaver::Outcome& o) {
  const std::size_t a = data.find('\n');
  const std::size_t b = a == std::string::npos ? a : data.find('\n', a + 1);
  if (b == std::string::npos || b + 1 >= data.size()) return false;
  o.ok = data.compare(0, a, "1") == 0;
  o.path = data.substr(a + 1, b - a - 1);
  o.text = data.substr(b + 1);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Names and reasons

void (*PictureSaver::afterStep)(PictureSaver::Step) = nullptr;

PictureSaver::PictureSaver(const std::string& f)
    : folder(f), quiet(false), child(-1), resultPipe(-1), announced(false) {}

PictureSaver::~PictureSaver() { wait(); }

std::string PictureSaver::baseName(std::time_t when) {
  std::tm local = {};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "brelvin-%Y%m%d-%H%M%S", &local);
  return text;
}

void PictureSaver::post(const std::string& text) const { KivSettings::addChatMessage(OWNER, text, STATUS_COLOR); }

void PictureSaver::note(const std::string& text) const {
  if (quiet)
    KivSettings::logLine(std::string(OWNER) + " " + text);
  else
    post(text);
}

std::string PictureSaver::nextBase() const { return fixedBase.empty() ? baseName(std::time(nullptr)) : fixedBase; }

PictureSaver::Outcome PictureSaver::writeNow(BITMAP* canvas, const std::string& base) const {
  return fixedBase.empty() ? write(canvas, folder, base) : replace(canvas, folder, base);
}

// ---------------------------------------------------------------------------
// Writing one picture

PictureSaver::Outcome PictureSaver::write(BITMAP* canvas, const std::string& folder, const std::string& base) {
  return writeAtomically(canvas, folder, base, false);
}

PictureSaver::Outcome PictureSaver::replace(BITMAP* canvas, const std::string& folder, const std::string& base) {
  return writeAtomically(canvas, folder, base, true);
}

PictureSaver::Outcome PictureSaver::writeAtomically(BITMAP* canvas, const std::string& folder,
                                                   const std::string& base, bool replacing) {
  Outcome out;
  if (canvas == nullptr) {
    out.text = failure("there is no canvas");
    return out;
  }
  if (const int err = makeFolders(folder)) {
    out.text = failure(reason(err, folder));
    return out;
  }
  const std::string part = partName(folder, base, getpid());
  _png_compression_level = COMPRESSION_LEVEL;
  errno = 0;
  if (save_png(part.c_str(), canvas, nullptr) != 0) {
    const int err = errno;
    unlink(part.c_str());
    out.text = failure(writeFailure(err, folder));
    return out;
  }
  if (afterStep) afterStep(PART_WRITTEN);
  bool cutOff = false;
  if (const int err = checkWritten(part, cutOff)) {
    unlink(part.c_str());
    out.text = failure(reason(err, folder));
    return out;
  }
  if (cutOff) {
    unlink(part.c_str());
    out.text = failure(writeFailure(0, folder));
    return out;
  }
  if (afterStep) afterStep(PART_ON_DISK);
  std::string path;
  const int err = replacing ? placeReplacing(part, folder, base, path) : placeNew(part, folder, base, path);
  if (err != 0) {
    unlink(part.c_str());
    out.text = err == EEXIST ? failure("every name for this second is taken in " + folder)
                             : failure(reason(err, folder));
    return out;
  }
  if (afterStep) afterStep(NAMED);
  // The new name itself is only safe once the folder is on the disk too.
  syncFolder(folder);
  if (afterStep) afterStep(FOLDER_ON_DISK);
  out.ok = true;
  out.path = path;
  out.text = "Saved the picture as " + path;
  return out;
}

PictureSaver::Outcome PictureSaver::saveNow(BITMAP* canvas) {
  wait();
  if (canvas != nullptr && static_cast<long>(canvas->w) * canvas->h >= SLOW_SAVE_PIXELS) note(SAVING);
  finish(writeNow(canvas, nextBase()));
  return last;
}

void PictureSaver::finish(const Outcome& outcome) {
  last = outcome;
  if (outcome.ok)
    note(outcome.text);
  else
    post(outcome.text);
}

// ---------------------------------------------------------------------------
// The child process

bool PictureSaver::start(BITMAP* canvas) {
  if (busy()) {
    note("Still saving the last picture");
    return false;
  }
  if (canvas == nullptr) {
    finish(write(canvas, folder, ""));
    return false;
  }
  const std::string base = nextBase();
  pendingBase = base;
  announced = static_cast<long>(canvas->w) * canvas->h >= SLOW_SAVE_PIXELS;
  if (announced) note(SAVING);

  int fds[2];
  pid_t pid = -1;
  if (pipe2(fds, O_CLOEXEC) == 0) {
    pid = fork();
    if (pid < 0) {
      close(fds[0]);
      close(fds[1]);
    }
  }
  if (pid < 0) {
    // No second process (no memory for one, say): the picture still
    // matters more than a pause of the loop.
    finish(writeNow(canvas, base));
    return true;
  }
  if (pid == 0) {
    // The session's sockets and the display connection must not live on in
    // here: a peer dropped by the parent would stay connected until the
    // picture is written. Only the result pipe stays, as descriptor 3.
    if (fds[1] != 3) {
      dup2(fds[1], 3);
    }
    close_range(4, ~0U, 0);
    // Ctrl+C or a closed terminal reach the whole process group and may end
    // the parent at once: the picture asked for is finished all the same.
    // The parent's stop handlers are not this process's business.
    signal(SIGINT, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    signal(SIGTERM, SIG_DFL);
    signal(SIGXFSZ, SIG_IGN);
    const std::string result = encode(writeNow(canvas, base));
    ssize_t unused = ::write(3, result.data(), result.size());
    (void)unused;
    _exit(0);
  }
  close(fds[1]);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  child = pid;
  resultPipe = fds[0];
  started = std::chrono::steady_clock::now();
  return true;
}

void PictureSaver::poll() {
  if (!busy()) return;
  if (!announced && std::chrono::steady_clock::now() - started >= std::chrono::seconds(1)) {
    announced = true;
    note(SAVING);
  }
  int status = 0;
  const pid_t done = waitpid(child, &status, WNOHANG);
  if (done != 0) collect(done, status);
}

void PictureSaver::wait() {
  if (!busy()) return;
  int status = 0;
  pid_t done;
  do {
    done = waitpid(child, &status, 0);
  } while (done < 0 && errno == EINTR);
  collect(done, status);
}

void PictureSaver::collect(pid_t done, int status) {
  // The child has ended (or cannot be waited for): whatever it wrote into
  // the pipe is there to read.
  std::string data;
  char buf[4096];
  ssize_t n;
  while ((n = read(resultPipe, buf, sizeof buf)) > 0) data.append(buf, static_cast<std::size_t>(n));
  close(resultPipe);
  resultPipe = -1;
  Outcome outcome;
  if (!decode(data, outcome)) {
    // Killed or crashed half-way: its part file is all that is left of it.
    unlink(partName(folder, pendingBase, child).c_str());
    outcome.text = failure(done == child && WIFSIGNALED(status)
                               ? "its writer was stopped by signal " + std::to_string(WTERMSIG(status))
                               : std::string("its writer ended without an answer"));
  }
  child = -1;
  finish(outcome);
}
