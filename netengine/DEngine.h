#ifndef NETENGINE_DENGINE_H
#define NETENGINE_DENGINE_H

// DEngine: owns the I/O service every socket uses, polls the registered events
// and ready completion handlers in update() (never blocking, on the caller's
// thread), and carries the library's process-wide services: host byte order,
// fatal-error reporting and number/text conversion.

#include <list>
#include <string>

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

namespace libkorvet {

class DEvent;
class DMutex;
class DTime;

#ifdef BRELVIN_FUZZING
// What fatalError throws in a fuzzing build instead of ending the process;
// deliberately not a std::exception, so that no handler of the program
// takes it for an ordinary error.
struct FatalError {
  std::string text;
};
#endif

class DEngine {
 public:
  DEngine();
  ~DEngine();
  DEngine(const DEngine&) = delete;
  DEngine& operator=(const DEngine&) = delete;

  // One engine step: refresh the clock, update every event, then run ready
  // completion handlers. maxOps < 0 means no limit, 0 runs nothing. Returns
  // the number of completion handlers run, 0 when the budget ran out among
  // the events, or -1 after an I/O error (text in getErrMsg()).
  int update(int maxOps);

  boost::asio::io_context& getIoService();
  std::string getErrMsg() const;
  // The time cached by the last update().
  void getCurrentTime(unsigned int& s, unsigned short& ms) const;

  // Registration, used by DEvent and DTime only.
  std::list<DEvent*>::iterator addEvent(DEvent* e);
  void removeEvent(std::list<DEvent*>::iterator pos);
  std::list<DTime*>::iterator addTime(DTime* t);
  void removeTime(std::list<DTime*>::iterator pos);

  // 2 little-endian host, 1 big-endian host, 0 unrecognised.
  static int getEndianness();
  static int calcEndianness();

  // A fatal text is built in pieces: addFatal for every piece but the last,
  // fatalError with the last, which prints it all and ends the program.
  static void addFatal(const std::string& text);
  [[noreturn]] static void fatalError(const std::string& text);

  static std::string intToStr(long value);
  // True only if the whole text is one decimal integer (leading white space
  // allowed); out is left unchanged otherwise.
  static bool strToInt(const std::string& text, int& out);
  static void sleep(long ms);

  static int getNumInstances() { return -1; }

 private:
  std::list<DEvent*> events;
  std::list<DTime*> times;
  std::list<DEvent*>::iterator currentEvent;
  bool inEventPass;
  bool removeCurrent;
  boost::asio::io_context* ioService;
  DTime* clock;
  std::string errMsg;

  static int endianness;
  static std::string fatalMsg;
  static DMutex* fatalMutex;
  static int numEngines;
};

}  // namespace libkorvet

#endif  // NETENGINE_DENGINE_H
