#include <array>
#include <cmath>

#include <gtest/gtest.h>

#include <quarn_pid.h>

namespace
{

using boost::posix_time::ptime;

const double kTolerance = 1e-12;

// Output bounds wide enough that the output shows the unclamped control law.
void widenOutput(pid::CPid& pid)
{
  pid.config(-10.0, 10.0, -100.0, 100.0, 4.0);
}

std::array<double, 4> configOf(const pid::CPid& pid)
{
  std::array<double, 4> spid;
  pid.getConfig(spid[0], spid[1], spid[2], spid[3]);
  return spid;
}

// Points the controllers' clock at a hand-moved time for the guard's lifetime.
class FakeClock
{
public:
  FakeClock() : saved_(pid::detail::now)
  {
    current() = ptime(boost::gregorian::date(2024, 3, 1));
    pid::detail::now = [] { return current(); };
  }
  ~FakeClock() { pid::detail::now = saved_; }
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  void advanceUs(long us) { current() += boost::posix_time::microseconds(us); }

private:
  static ptime& current()
  {
    static ptime time;
    return time;
  }

  ptime (*saved_)();
};

TEST(CPid, FreshControllerReturnsZero)
{
  for (double measure : { -3.5, 0.0, 2.0 })
  {
    pid::CPid pid;
    EXPECT_EQ((std::array<double, 4>{}), configOf(pid));
    EXPECT_EQ(0.0, pid.action(measure, 0.5)) << measure;
  }
}

TEST(CPid, GetConfigReturnsLastInit)
{
  pid::CPid pid;
  pid.init(1.5, 0.25, -0.125, 3.0);
  pid.init(-2.0, 0.5, 0.75, 0.0625);
  EXPECT_EQ((std::array<double, 4>{ -2.0, 0.5, 0.75, 0.0625 }), configOf(pid));
}

TEST(CPid, ProportionalOutputIsClamped)
{
  const struct
  {
    double measure, output;
  } cases[] = {
    { 2.0, -1.0 },
    { -0.5, 0.5 },
    { -4.0, 1.0 },
    { 0.75, -0.75 },
  };
  for (const auto& c : cases)
  {
    pid::CPid pid;
    pid.init(0.0, 1.0, 0.0, 0.0);
    EXPECT_NEAR(c.output, pid.action(c.measure, 0.1), kTolerance) << c.measure;
  }
}

TEST(CPid, IntegralIsClampedAsStoredState)
{
  pid::CPid pid;
  widenOutput(pid);
  pid.init(0.0, 0.0, 1.0, 0.0);
  const struct
  {
    double measure, integral;
  } steps[] = {
    { -1.0, 4.0 }, { -1.0, 8.0 }, { -1.0, 10.0 }, { -1.0, 10.0 }, { -1.0, 10.0 }, { 1.0, 6.0 },
    { 1.0, 2.0 },  { 1.0, -2.0 }, { 1.0, -6.0 },  { 1.0, -10.0 }, { 1.0, -10.0 }, { -1.0, -6.0 },
  };
  for (const auto& s : steps)
  {
    EXPECT_NEAR(s.integral, pid.action(s.measure, 4.0), kTolerance);
  }
}

TEST(CPid, OutputClampDoesNotStopIntegral)
{
  pid::CPid pid;
  pid.init(0.0, 0.0, 1.0, 0.0);
  for (int step = 0; step < 5; ++step)
  {
    EXPECT_EQ(1.0, pid.action(-1.0, 4.0)) << step;
  }
  // The stored integral stopped at 10, so one opposite step leaves 6.
  EXPECT_EQ(1.0, pid.action(1.0, 4.0));
  widenOutput(pid);
  EXPECT_NEAR(6.0, pid.action(0.0, 4.0), kTolerance);
}

TEST(CPid, TimeStepIsCappedAtLargestPeriod)
{
  // maxPeriod 0: left at the default.
  const struct
  {
    double maxPeriod, T, dt;
  } cases[] = {
    { 0.0, 3.0, 3.0 }, { 0.0, 4.0, 4.0 }, { 0.0, 6.0, 4.0 }, { 8.0, 6.0, 6.0 }, { 8.0, 9.0, 8.0 },
  };
  for (const auto& c : cases)
  {
    pid::CPid pid;
    if (c.maxPeriod > 0.0)
    {
      pid.config(-10.0, 10.0, -1.0, 1.0, c.maxPeriod);
    }
    pid.init(0.0, 0.0, 0.0625, 0.0);
    EXPECT_NEAR(c.dt * 0.0625, pid.action(-1.0, c.T), kTolerance) << c.maxPeriod << " " << c.T;
  }
}

TEST(CPid, MillisecondFormMatchesSecondsForm)
{
  const struct
  {
    long ms;
    double seconds;
  } cases[] = {
    { 250L, 0.25 }, { 1L, 0.001 }, { 4000L, 4.0 }, { 4500L, 4.0 }, { 0L, 0.0 },
  };
  for (const auto& c : cases)
  {
    pid::CPid byMs, bySeconds;
    widenOutput(byMs);
    widenOutput(bySeconds);
    byMs.init(0.5, 0.25, 0.5, 0.125);
    bySeconds.init(0.5, 0.25, 0.5, 0.125);
    // Three steps, so a difference in the kept integral or previous error would show too.
    for (double measure : { -1.0, 0.25, 2.0 })
    {
      EXPECT_EQ(bySeconds.action(measure, c.seconds), byMs.action(measure, c.ms)) << c.ms;
    }
  }
}

TEST(CPid, DerivativeKicksOnFirstStepOnly)
{
  pid::CPid pid;
  pid.init(0.5, 0.0, 0.0, 0.25);
  EXPECT_NEAR(0.25 * 1.5 / 0.5, pid.action(-1.0, 0.5), kTolerance);
  EXPECT_NEAR(0.0, pid.action(-1.0, 0.5), kTolerance);
  EXPECT_NEAR(0.25 * -1.0 / 0.5, pid.action(0.0, 0.5), kTolerance);
}

TEST(CPid, ConfigKeepsIntegralAndPreviousError)
{
  pid::CPid pid;
  pid.init(0.0, 0.0, 1.0, 1.0);
  EXPECT_EQ(1.0, pid.action(-1.0, 2.0));
  widenOutput(pid);
  // Integral 2 + 1, previous error 1 so no derivative.
  EXPECT_NEAR(3.0, pid.action(-1.0, 1.0), kTolerance);
}

TEST(CPid, InitAfterConfigKeepsLimitsAndClearsState)
{
  pid::CPid pid;
  pid.config(-2.0, 2.0, -5.0, 5.0, 1.0);
  pid.init(0.0, 1.0, 1.0, 0.5);
  for (int step = 0; step < 3; ++step)
  {
    pid.action(-1.0, 1.0);
  }
  pid.init(0.0, 1.0, 1.0, 0.5);
  // dt capped at 1 s, integral restarted at 0, derivative kick from a cleared previous error,
  // and 2.5 passes the configured output bound.
  EXPECT_NEAR(1.0 + 1.0 + 0.5, pid.action(-1.0, 10.0), kTolerance);
}

TEST(CPid, InvertedOutputBoundsTestUpperFirst)
{
  const struct
  {
    double measure, output;
  } cases[] = {
    { -3.0, 1.0 },
    { -1.5, 1.0 },
    { 0.0, 2.0 },
    { 1.0, 2.0 },
  };
  for (const auto& c : cases)
  {
    pid::CPid pid;
    pid.config(-10.0, 10.0, 2.0, 1.0, 4.0);
    pid.init(0.0, 1.0, 0.0, 0.0);
    EXPECT_EQ(c.output, pid.action(c.measure, 1.0)) << c.measure;
  }
}

TEST(CPid, NanOutputPassesThroughClamp)
{
  pid::CPid pid;
  pid.init(0.0, 1.0, 0.0, 0.0);
  EXPECT_TRUE(std::isnan(pid.action(std::nan(""), 1.0)));
}

TEST(CPid, StepWithoutPositiveTimeHasNoRate)
{
  for (double T : { 0.0, -0.0, -0.001, -1e9 })
  {
    pid::CPid pid;
    widenOutput(pid);
    pid.init(0.0, 1.0, 1.0, 1.0);
    EXPECT_NEAR(1.0 + 1.0 + 1.0, pid.action(-1.0, 1.0), kTolerance);
    // Integral stays 1, no derivative term: 2 + 1.
    const double output = pid.action(-2.0, T);
    EXPECT_NEAR(3.0, output, kTolerance) << T;
    // The error 2 was kept as previous error, so no derivative; integral 1 + 2 * 0.5.
    EXPECT_NEAR(2.0 + 2.0, pid.action(-2.0, 0.5), kTolerance) << T;
  }
}

TEST(CPid, StepWithoutPositiveTimeStillClampsIntegral)
{
  pid::CPid pid;
  widenOutput(pid);
  pid.init(0.0, 0.0, 1.0, 0.0);
  EXPECT_NEAR(4.0, pid.action(-1.0, 4.0), kTolerance);
  pid.config(-10.0, 2.5, -100.0, 100.0, 4.0);
  EXPECT_NEAR(2.5, pid.action(-1.0, 0.0), kTolerance);
  widenOutput(pid);
  EXPECT_NEAR(2.5, pid.action(-1.0, 0.0), kTolerance);
}

TEST(CPid, ClockStepTruncatesToWholeMilliseconds)
{
  const struct
  {
    long elapsedUs;
    double seconds;
  } cases[] = {
    { 999L, 0.0 },     { 1000L, 0.001 },  { 1500L, 0.001 }, { 250999L, 0.25 },
    { 4000000L, 4.0 }, { 9000000L, 4.0 }, { -999L, 0.0 },   { -1500L, -0.001 },
  };
  for (const auto& c : cases)
  {
    FakeClock clock;
    pid::CPid byClock, byHand;
    widenOutput(byClock);
    widenOutput(byHand);
    byClock.init(0.0, 0.5, 1.0, 0.25);
    byHand.init(0.0, 0.5, 1.0, 0.25);
    clock.advanceUs(c.elapsedUs);
    EXPECT_EQ(byHand.action(-1.0, c.seconds), byClock.action(-1.0)) << c.elapsedUs;
  }
}

TEST(CPid, ClockStepMeasuresFromPreviousStep)
{
  FakeClock clock;
  pid::CPid pid;
  widenOutput(pid);
  pid.init(0.0, 0.0, 1.0, 0.0);
  // Two 999 us gaps: each passes 0 ms, they never add up to a whole millisecond.
  for (int step = 0; step < 2; ++step)
  {
    clock.advanceUs(999L);
    EXPECT_EQ(0.0, pid.action(-1.0)) << step;
  }
  clock.advanceUs(1500L);
  EXPECT_NEAR(0.001, pid.action(-1.0), kTolerance);
}

TEST(CPid, FirstClockStepMeasuresFromInit)
{
  FakeClock clock;
  pid::CPid pid;
  widenOutput(pid);
  clock.advanceUs(3000000L);
  pid.init(0.0, 0.0, 1.0, 0.0);
  clock.advanceUs(500000L);
  EXPECT_NEAR(0.5, pid.action(-1.0), kTolerance);
}

}  // namespace

TEST(CPid, LastStepHoldsTheTermsOfTheOutput)
{
  FakeClock clock;
  pid::CPid pid;
  pid.init(0.0, 2.0, 0.5, 0.1);
  // Error 0.3 over 0.1 s: integral 0.03, derivative kick 0.1 * 0.3 / 0.1; 0.915 within the bounds.
  const double output = pid.action(-0.3, 0.1);
  pid::CPid::Step step = pid.lastStep();
  EXPECT_NEAR(0.6, step.proportional, kTolerance);
  EXPECT_NEAR(0.015, step.integral, kTolerance);
  EXPECT_NEAR(0.3, step.derivative, kTolerance);
  EXPECT_EQ(0.1, step.dt);
  EXPECT_FALSE(step.clamped);
  EXPECT_EQ(step.proportional + step.integral + step.derivative, output);

  // No derivative without a time step; a clock-driven step keeps the one it measured (250.999 ms: 0.25 s).
  EXPECT_EQ(-1.0, pid.action(5.0, 0.0));
  EXPECT_EQ(0.0, pid.lastStep().derivative);
  EXPECT_TRUE(pid.lastStep().clamped);
  clock.advanceUs(250999L);
  EXPECT_EQ(1.0, pid.action(-1.2));
  EXPECT_EQ(0.25, pid.lastStep().dt);
  EXPECT_NEAR(0.1 * (1.2 + 5.0) / 0.25, pid.lastStep().derivative, kTolerance);

  pid.init(0.0, 2.0, 0.5, 0.1);
  step = pid.lastStep();
  EXPECT_EQ(0.0, step.proportional + step.integral + step.derivative + step.dt);
}

namespace
{

// A controller with integral 4 (ki 0.5) and previous error 1 after one step of 1 s under wide output bounds.
pid::CPid gatheredController()
{
  pid::CPid pid;
  widenOutput(pid);
  pid.init(0.0, 1.0, 0.5, 0.0);
  pid.action(-4.0, 1.0);
  pid.action(-1.0, 0.0);
  return pid;
}

}  // namespace

TEST(CPid, RetuneKeepsTheIntegralTermWithinTheClamp)
{
  const struct
  {
    const char* name;
    double ki;
    double integralTerm;  // ki * integral just after the change
  } cases[] = {
    { "same gain keeps the integral", 0.5, 2.0 },         { "larger gain shrinks the integral", 1.0, 2.0 },
    { "smaller gain grows the integral", 0.25, 2.0 },     { "negative gain turns its sign", -0.5, 2.0 },
    { "growth stops at the clamp", 0.125, 0.125 * 10.0 }, { "gain turned off drops the integral", 0.0, 0.0 },
  };
  for (const auto& c : cases)
  {
    pid::CPid pid = gatheredController();
    pid.retune(1.0, c.ki, 0.0);
    // A step without time adds nothing to the integral, so its output is kp * error + ki * integral.
    EXPECT_NEAR(1.0 + c.integralTerm, pid.action(-1.0, 0.0), kTolerance) << c.name;
    EXPECT_NEAR(c.integralTerm, pid.lastStep().integral, kTolerance) << c.name;
  }
}

TEST(CPid, RetuneFromZeroIntegralGainStartsEmpty)
{
  pid::CPid pid;
  widenOutput(pid);
  pid.init(0.0, 1.0, 0.0, 0.0);
  pid.action(-4.0, 1.0);  // gathers 4 that no term uses
  pid.retune(1.0, 0.5, 0.0);
  // Error 1 over 1 s: integral 1 from empty, so 1 + 0.5 * 1.
  EXPECT_EQ(1.5, pid.action(-1.0, 1.0));
}

TEST(CPid, RetuneKeepsPreviousErrorClockAndSetPoint)
{
  FakeClock clock;
  pid::CPid pid;
  widenOutput(pid);
  pid.init(0.5, 1.0, 0.0, 0.0);
  clock.advanceUs(100000L);
  pid.action(-0.5);  // error 1 over 0.1 s
  clock.advanceUs(200000L);
  pid.retune(2.0, 0.0, 0.25);
  // No derivative kick (previous error 1 kept) and 0.2 s since the last step, not since the change.
  EXPECT_NEAR(2.0 * 2.0 + 0.25 * (2.0 - 1.0) / 0.2, pid.action(-1.5), kTolerance);
  EXPECT_EQ(0.2, pid.lastStep().dt);
  EXPECT_EQ((std::array<double, 4>{ 0.5, 2.0, 0.0, 0.25 }), configOf(pid));
}

// Error steps of 0.1 s; kd = 1 and no other gain, so the output is the filtered rate itself.
TEST(CPid, DerivativeFilterFollowsBackwardEulerLag)
{
  pid::CPid pid;
  widenOutput(pid);
  pid.init(0.0, 0.0, 0.0, 1.0);
  pid.setDerivativeFilter(0.3);
  // A step of the error by 0.1: rate 1 for one step, then 0; each step keeps 0.3 / 0.4 of the gap.
  const std::array<double, 3> expected = { 0.25, 0.1875, 0.140625 };
  for (double rate : expected)
  {
    const double output = pid.action(-0.1, 0.1);
    EXPECT_NEAR(rate, output, kTolerance);
    EXPECT_EQ(output, pid.lastStep().derivative);
  }
  // A step without time leaves the filter where it was; the next one goes on from there.
  EXPECT_EQ(0.0, pid.action(-0.1, 0.0));
  EXPECT_NEAR(0.10546875, pid.action(-0.1, 0.1), kTolerance);
  // A steady ramp of 2 per second: the filtered rate settles on it.
  double error = 0.1;
  for (int step = 0; step < 200; ++step)
  {
    error += 0.2;
    pid.action(-error, 0.1);
  }
  EXPECT_NEAR(2.0, pid.lastStep().derivative, 1e-9);
}

TEST(CPid, ZeroFilterTimeConstantIsTheUnfilteredDerivative)
{
  pid::CPid plain;
  pid::CPid switched;
  EXPECT_EQ(0.0, switched.derivativeFilter());
  for (pid::CPid* pid : { &plain, &switched })
  {
    widenOutput(*pid);
    pid->init(0.3, 1.5, 0.2, 0.7);
  }
  switched.setDerivativeFilter(0.4);
  switched.action(1.0, 0.1);
  switched.setDerivativeFilter(0.0);
  plain.action(1.0, 0.1);
  const std::array<double, 6> measures = { 0.37, -0.21, 0.05, 0.9, -1.3, 0.11 };
  const std::array<double, 6> dts = { 0.1, 0.033, 0.0, 0.1, 0.007, 0.25 };
  for (std::size_t i = 0; i < measures.size(); ++i)
  {
    EXPECT_EQ(plain.action(measures[i], dts[i]), switched.action(measures[i], dts[i])) << i;
    EXPECT_EQ(plain.lastStep().derivative, switched.lastStep().derivative) << i;
  }
}

TEST(CPid, OverflowedRateDoesNotStayInTheFilter)
{
  pid::CPid pid;
  pid.init(0.0, 0.0, 0.0, 1.0);
  pid.setDerivativeFilter(0.2);
  // Errors of +-1e308 a millisecond apart: rates of +-infinity, which the output clamp hides.
  pid.action(-1e308, 0.001);
  pid.action(1e308, 0.001);
  EXPECT_EQ(-HUGE_VAL, pid.lastStep().derivative);
  // The error holds still: the filter starts over from 0 instead of adding infinities of both signs.
  EXPECT_EQ(0.0, pid.action(1e308, 0.001));
  EXPECT_EQ(0.0, pid.lastStep().derivative);
}
