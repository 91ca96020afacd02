#include "DEngine.h"

#include <stdexcept>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "DEvent.h"
#include "FatalTest.h"

using libkorvet::DEngine;
using libkorvet::DEvent;

namespace {

// An event reporting a fixed amount of work, counting its calls, and able
// to remove itself or another event while it is being updated.
class CountingEvent : public DEvent {
 public:
  CountingEvent(DEngine* e, int work) : DEvent(e), work(work) {}
  int update() override {
    ++calls;
    if (leaveNow) leaveEngine();
    if (victim) {
      delete victim;
      victim = nullptr;
    }
    return work;
  }
  int work;
  int calls = 0;
  bool leaveNow = false;
  CountingEvent* victim = nullptr;
};

}  // namespace

TEST(DEngine, UpdateBudgetCountsEventsAndHandlers) {
  DEngine engine;
  int handlersRun = 0;
  boost::asio::post(engine.getIoService(), [&] { ++handlersRun; });
  EXPECT_EQ(engine.update(0), 0);
  EXPECT_EQ(handlersRun, 0);

  // 99 reported firings plus one for the event itself exhaust a budget of
  // 100: no later event, no completion handler, result 0.
  CountingEvent busy(&engine, 99);
  CountingEvent quiet(&engine, 0);
  EXPECT_EQ(engine.update(100), 0);
  EXPECT_EQ(engine.update(100), 0);
  EXPECT_EQ(busy.calls, 2);
  EXPECT_EQ(quiet.calls, 0);
  EXPECT_EQ(handlersRun, 0);

  busy.work = 0;
  EXPECT_EQ(engine.update(100), 1);
  EXPECT_EQ(quiet.calls, 1);
  EXPECT_EQ(handlersRun, 1);

  // Without events in the way: -1 runs every ready handler, 3 allows three polls.
  busy.leaveEngine(), quiet.leaveEngine();
  for (int i = 0; i < 5; ++i) boost::asio::post(engine.getIoService(), [&] { ++handlersRun; });
  EXPECT_EQ(engine.update(3), 3);
  EXPECT_EQ(engine.update(-1), 2);
  EXPECT_EQ(engine.update(-1), 0);
}

TEST(DEngine, HandlerExceptionsBecomeErrorResult) {
  DEngine engine;
  boost::asio::post(engine.getIoService(), [] { throw std::runtime_error("boom"); });
  EXPECT_EQ(engine.update(-1), -1);
  EXPECT_EQ(engine.getErrMsg(), "Unknown error: boom");
  // The service is usable again afterwards.
  int ran = 0;
  boost::asio::post(engine.getIoService(), [&] { ++ran; });
  EXPECT_EQ(engine.update(-1), 1);
  EXPECT_EQ(ran, 1);
}

TEST(DEngine, EventsLeavingDuringTheirUpdate) {
  DEngine engine;
  CountingEvent first(&engine, 0);
  CountingEvent second(&engine, 0);
  CountingEvent* third = new CountingEvent(&engine, 0);
  CountingEvent fourth(&engine, 0);
  first.leaveNow = true;   // removes itself while being updated
  second.victim = third;   // deletes a later event
  engine.update(-1);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 1);
  EXPECT_EQ(fourth.calls, 1);
  EXPECT_EQ(first.getEngine(), nullptr);
  engine.update(-1);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 2);
  EXPECT_EQ(fourth.calls, 2);

  // An event that outlives its engine is told, and can still be destroyed.
  DEngine* shortLived = new DEngine();
  CountingEvent orphan(shortLived, 0);
  CountingEvent copy(orphan);
  EXPECT_EQ(copy.getEngine(), shortLived);
  delete shortLived;
  EXPECT_EQ(orphan.getEngine(), nullptr);
  EXPECT_EQ(copy.getEngine(), nullptr);
}

TEST(DEngine, NumberText) {
  int x = 7;
  EXPECT_TRUE(DEngine::strToInt("42", x));
  EXPECT_EQ(x, 42);
  EXPECT_TRUE(DEngine::strToInt(" -13", x));
  EXPECT_EQ(x, -13);
  x = 7;
  for (const char* bad : {"42 ", "4x", "", " ", "-", "99999999999", "0x10"}) {
    EXPECT_FALSE(DEngine::strToInt(bad, x)) << bad;
    EXPECT_EQ(x, 7);
  }
  EXPECT_EQ(DEngine::intToStr(-5), "-5");
}

TEST(DEngineDeath, FatalTextsFromAnyPlace) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_FATAL(
      {
        DEngine::addFatal("a");
        DEngine::addFatal("b");
        DEngine::fatalError(DEngine::intToStr(3));
      },
      "^ab3\n$");
  EXPECT_FATAL(
      {
        std::thread worker([] { DEngine::fatalError("from a worker"); });
        worker.join();
      },
      "from a worker");
  struct Nesting : DEvent {
    using DEvent::DEvent;
    int update() override { return getEngine()->update(-1); }
  };
  DEngine engine;
  Nesting nesting(&engine);
  EXPECT_FATAL(engine.update(-1), "DEngine::update\\(\\): called from inside an event's update");
}
