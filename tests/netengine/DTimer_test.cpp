#include "DTimer.h"

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
  // Lets ms pass, then runs one unlimited engine step.
  void step(unsigned int ms) {
    DTime::advanceManualClock(ms);
    engine.update(-1);
  }
  DEngine engine;
};

class ElapsedTimer : public DTimer {
 public:
  using DTimer::DTimer;
  void elapsed() override { ++count; }
  int count = 0;
};

}  // namespace

TEST_F(ManualClock, TimerCatchesUpAtFixedCadence) {
  DTimer timer(&engine);
  int fired = 0;
  timer.setHandler([&] { ++fired; });
  timer.setInterval(100);
  timer.start();
  step(350);
  EXPECT_EQ(fired, 3);
  step(49);
  EXPECT_EQ(fired, 3);
  step(1);  // 400 ms after the start
  EXPECT_EQ(fired, 4);

  // The firings count against the update's budget like any event's work.
  DTime::advanceManualClock(1000);
  EXPECT_EQ(engine.update(5), 0);
  EXPECT_EQ(fired, 14);

  // Without a handler the virtual elapsed() is called.
  ElapsedTimer plain(&engine);
  plain.setInterval(10);
  plain.start();
  step(25);
  EXPECT_EQ(plain.count, 2);
}

TEST_F(ManualClock, StartStopAndIntervalRules) {
  DTimer timer(&engine);
  int fired = 0;
  timer.setHandler([&] { ++fired; });
  timer.start();  // interval 0: stays stopped
  EXPECT_FALSE(timer.isRunning());
  timer.setInterval(50);
  timer.start();
  step(40);
  timer.start();  // only resets the reference point
  step(49);
  EXPECT_EQ(fired, 0);
  step(1);
  EXPECT_EQ(fired, 1);

  // A copy of a running timer runs on its own.
  DTimer copy(timer);
  timer.setInterval(0);
  EXPECT_FALSE(timer.isRunning());
  step(50);
  EXPECT_EQ(fired, 2);

  // Long work inside a step: start() counts from the step's beginning and
  // fires at once after it, startFromNow() from the end of the work.
  DTimer fromStep(&engine), fromNow(&engine);
  int stepFired = 0, nowFired = 0;
  fromStep.setHandler([&] { ++stepFired; });
  fromNow.setHandler([&] { ++nowFired; });
  fromStep.setInterval(50);
  fromNow.setInterval(50);
  DTime::advanceManualClock(60);  // the work, in the step that ran last
  fromStep.start();
  fromNow.startFromNow();
  step(1);
  EXPECT_EQ(stepFired, 1);
  EXPECT_EQ(nowFired, 0);
  step(48);
  EXPECT_EQ(nowFired, 0);
  step(1);
  EXPECT_EQ(nowFired, 1);
}

TEST_F(ManualClock, HandlerMayStopOrDeleteItsTimer) {
  DTimer selfStopping(&engine), other(&engine);
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
  step(100);
  EXPECT_EQ(stopFired, 1);  // stopped inside the catch-up loop
  EXPECT_EQ(otherFired, 10);

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
  step(100);
  EXPECT_EQ(doomedFired, 1);
  EXPECT_EQ(otherFired, 20);
}

TEST_F(ManualClock, ClocksReadTheEngineStepTime) {
  engine.update(-1);
  DTime registered, free;
  registered.useEngine(&engine);
  registered.updateTime();
  free.updateTime();
  DTime::advanceManualClock(1500);
  // The registered clock sees the step's time until the next update.
  EXPECT_EQ(registered.timeElapsed(), 0u);
  EXPECT_EQ(free.timeElapsed(), 1500u);
  engine.update(-1);
  EXPECT_EQ(registered.timeElapsed(), 1500u);

  // A point far in the past reports the largest expressible gap, not a
  // wrapped or negative value.
  free.setTime(free.getSeconds(), 250);
  DTime::advanceManualClock(2147490u * 1000u);
  EXPECT_GE(free.timeElapsed(), 2147481000u);
  EXPECT_LE(free.timeElapsed(), 2147482999u);
}
