#include "DTimer.h"

#include <boost/function.hpp>
#include <gtest/gtest.h>

#include "DEngine.h"
#include "DTime.h"

using libkorvet::DEngine;
using libkorvet::DTime;
using libkorvet::DTimer;

namespace {

class ManualClock : public ::testing::Test {
 protected:
  void SetUp() override { DTime::setManualClock(true); }
  void TearDown() override { DTime::setManualClock(false); }
};

class ElapsedTimer : public DTimer {
 public:
  using DTimer::DTimer;
  void elapsed() override { ++count; }
  int count = 0;
};

}  // namespace

TEST_F(ManualClock, TimerCatchesUpAtFixedCadence) {
  DEngine engine;
  DTimer timer(&engine);
  int fired = 0;
  timer.setHandler([&] { ++fired; });
  timer.setInterval(100);
  engine.update(-1);
  timer.start();
  EXPECT_TRUE(timer.isRunning());

  DTime::advanceManualClock(350);
  engine.update(-1);
  EXPECT_EQ(fired, 3);
  DTime::advanceManualClock(49);
  engine.update(-1);
  EXPECT_EQ(fired, 3);
  DTime::advanceManualClock(1);  // 400 ms after the start
  engine.update(-1);
  EXPECT_EQ(fired, 4);

  // The firings count against the update's budget like any event's work.
  DTime::advanceManualClock(1000);
  EXPECT_EQ(engine.update(5), 0);
  EXPECT_EQ(fired, 14);

  // Without a handler the virtual elapsed() is called.
  ElapsedTimer plain(&engine);
  plain.setInterval(10);
  plain.start();
  DTime::advanceManualClock(25);
  engine.update(-1);
  EXPECT_EQ(plain.count, 2);
}

TEST_F(ManualClock, StartStopAndIntervalRules) {
  DEngine engine;
  DTimer timer(&engine);
  int fired = 0;
  timer.setHandler([&] { ++fired; });
  timer.start();  // interval 0: stays stopped
  EXPECT_FALSE(timer.isRunning());
  timer.setInterval(50);
  timer.start();
  DTime::advanceManualClock(40);
  engine.update(-1);
  timer.start();  // only resets the reference point
  DTime::advanceManualClock(40);
  engine.update(-1);
  EXPECT_EQ(fired, 0);
  DTime::advanceManualClock(10);
  engine.update(-1);
  EXPECT_EQ(fired, 1);

  // A copy of a running timer runs on its own.
  DTimer copy(timer);
  EXPECT_TRUE(copy.isRunning());
  timer.setInterval(0);
  EXPECT_FALSE(timer.isRunning());
  DTime::advanceManualClock(50);
  engine.update(-1);
  EXPECT_EQ(fired, 2);
}

TEST_F(ManualClock, HandlerMayStopOrDeleteItsTimer) {
  DEngine engine;
  DTimer selfStopping(&engine);
  DTimer other(&engine);
  int stopFired = 0, otherFired = 0;
  selfStopping.setInterval(10);
  selfStopping.setHandler([&] {
    ++stopFired;
    selfStopping.stop();
  });
  other.setInterval(10);
  other.setHandler([&] { ++otherFired; });
  selfStopping.start();
  other.start();
  DTime::advanceManualClock(100);
  engine.update(-1);
  EXPECT_EQ(stopFired, 1);  // stopped inside the catch-up loop
  EXPECT_EQ(otherFired, 10);
  EXPECT_FALSE(selfStopping.isRunning());
  DTime::advanceManualClock(100);
  engine.update(-1);
  EXPECT_EQ(stopFired, 1);
  EXPECT_EQ(otherFired, 20);

  // Deleting the timer from its own handler ends the catch-up without
  // touching the freed timer (checked under the address sanitizer).
  DTimer* doomed = new DTimer(&engine);
  int doomedFired = 0;
  doomed->setInterval(10);
  doomed->setHandler([&] {
    ++doomedFired;
    delete doomed;
  });
  doomed->start();
  DTime::advanceManualClock(100);
  engine.update(-1);
  EXPECT_EQ(doomedFired, 1);
  EXPECT_EQ(otherFired, 30);

  // A handler that was set empty reports the call like any empty function.
  DTimer empty(&engine);
  empty.setInterval(10);
  empty.setHandler(boost::function<void()>());
  empty.start();
  DTime::advanceManualClock(10);
  EXPECT_THROW(engine.update(-1), boost::bad_function_call);
}

TEST_F(ManualClock, ClocksReadTheEngineStepTime) {
  DEngine engine;
  engine.update(-1);
  DTime registered;
  registered.useEngine(&engine);
  registered.updateTime();
  DTime free;
  free.updateTime();
  DTime::advanceManualClock(1500);
  // The registered clock sees the step's time until the next update.
  EXPECT_EQ(registered.timeElapsed(), 0u);
  EXPECT_EQ(free.timeElapsed(), 1500u);
  engine.update(-1);
  EXPECT_EQ(registered.timeElapsed(), 1500u);

  DTime copy(registered);
  EXPECT_EQ(copy.timeElapsed(), 1500u);
  registered.addTime(2700);
  EXPECT_EQ(registered.timeElapsed(), 0u);  // now in the future
  DTime::advanceManualClock(1300);
  engine.update(-1);
  EXPECT_EQ(registered.timeElapsed(), 100u);

  // A point far in the past reports the largest expressible gap, not a
  // wrapped or negative value.
  free.setTime(free.getSeconds(), 250);
  DTime::advanceManualClock(2147490u * 1000u);
  unsigned int elapsed = free.timeElapsed();
  EXPECT_GE(elapsed, 2147481000u);
  EXPECT_LE(elapsed, 2147482999u);
}
