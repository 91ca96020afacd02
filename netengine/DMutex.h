#ifndef NETENGINE_DMUTEX_H
#define NETENGINE_DMUTEX_H

// DMutex: a plain process-local lock, usable from any thread. Its one use is
// serialising the fatal-error text. A failure of the lock itself ends the
// program at once with a failure status (without printing anything).

#include <mutex>
#include <string>

namespace libkorvet {

class DMutex {
 public:
  DMutex();
  ~DMutex();
  DMutex(const DMutex&) = delete;
  DMutex& operator=(const DMutex&) = delete;

  void lock();
  void unlock();
  std::string getErrMsg() const;

  static int getNumInstances() { return -1; }

 private:
  std::mutex mutex;
  std::string errMsg;
};

}  // namespace libkorvet

#endif  // NETENGINE_DMUTEX_H
