#include "DMutex.h"

#include <cstdlib>
#include <system_error>

namespace libkorvet {

// A broken lock means the fatal-error path itself cannot be trusted, so the
// program ends at once without trying to print.

DMutex::DMutex() : errMsg("AllOK") {}

DMutex::~DMutex() {}

void DMutex::lock() {
  try {
    mutex.lock();
  } catch (const std::system_error&) {
    errMsg = "DMutex::lock() failed!";
    std::_Exit(EXIT_FAILURE);
  }
}

void DMutex::unlock() { mutex.unlock(); }

std::string DMutex::getErrMsg() const { return errMsg; }

}  // namespace libkorvet
