#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include <quarn_dev/controller_state.h>
#include <quarn_dev/hover_lock_core.h>

using diagnostic_msgs::DiagnosticStatus;
using quarn::dev::ControllerHealth;

namespace
{

// A status's key-value pairs by key.
std::map<std::string, std::string> valuesOf(const DiagnosticStatus& status)
{
  std::map<std::string, std::string> values;
  for (const diagnostic_msgs::KeyValue& pair : status.values)
  {
    values[pair.key] = pair.value;
  }
  return values;
}

// Reports the health's period ending at now, in mode 1 unless given.
diagnostic_updater::DiagnosticStatusWrapper reported(ControllerHealth& health, double now, int mode = 1)
{
  diagnostic_updater::DiagnosticStatusWrapper status;
  health.report(status, mode, now);
  return status;
}

}  // namespace

TEST(ControllerState, HoldsEachControllersStepAndThePublishedCommand)
{
  pid::CPid x, y, z, yaw;
  x.init(0.0, 2.0, 0.5, 0.1);
  y.init(0.0, 0.5, 0.0, 0.0);
  z.init(0.0, 1.0, 0.0, 0.0);
  yaw.init(0.0, 0.5, 0.0, 0.0);
  const quarn::dev::PerAxis measure = { -0.3, -0.04, 5.0, -0.5 };
  const quarn::dev::PerAxis output = { x.action(measure[0], 0.1), y.action(measure[1], 0.1), z.action(measure[2], 0.0),
                                       yaw.action(measure[3], 0.1) };
  const quarn_common::BhResponse response = quarn::dev::behaviorResponse(output[0], output[1], output[2], output[3]);
  const quarn_common::ControllerState state = quarn::dev::controllerState(
      ros::Time(7, 5), 1, measure, { x.lastStep(), y.lastStep(), z.lastStep(), yaw.lastStep() }, output, response);

  EXPECT_EQ(ros::Time(7, 5), state.header.stamp);
  EXPECT_EQ(1, state.mode);
  for (std::size_t axis = 0; axis < 4; ++axis)
  {
    SCOPED_TRACE(axis);
    EXPECT_EQ(measure[axis], state.measure[axis]);
    EXPECT_EQ(output[axis], state.output[axis]);
    const double sum = state.proportional[axis] + state.integral[axis] + state.derivative[axis];
    EXPECT_EQ(std::clamp(sum, -1.0, 1.0), state.output[axis]);
    EXPECT_EQ(sum != state.output[axis], static_cast<bool>(state.saturated[axis]));
  }
  EXPECT_NEAR(0.3, state.derivative[0], 1e-12);
  EXPECT_EQ((quarn_common::ControllerState::_dt_type{ { 0.1, 0.1, 0.0, 0.1 } }), state.dt);
  EXPECT_EQ((quarn_common::ControllerState::_saturated_type{ { 0, 0, 1, 0 } }), state.saturated);
  // The command as published, the sign of an x or y zero included.
  EXPECT_EQ((quarn_common::ControllerState::_command_type{ { -0.9, -0.0, -1.0, 0.3 } }), state.command);
  EXPECT_TRUE(std::signbit(state.command[1]));
}

TEST(ControllerHealth, QuietPeriodIsOkWithItsRates)
{
  ControllerHealth health;
  health.start(100.0);
  for (int i = 0; i < 20; ++i)
  {
    health.countNavigation();
    health.countStep(i % 2 == 0);  // half saturated is not more than half
  }
  health.countCorrection();
  const diagnostic_updater::DiagnosticStatusWrapper status = reported(health, 102.0);
  EXPECT_EQ(DiagnosticStatus::OK, status.level) << status.message;
  std::map<std::string, std::string> values = valuesOf(status);
  EXPECT_EQ("1", values["Mode"]);
  EXPECT_EQ("10.0", values["Navigation rate (Hz)"]);
  EXPECT_EQ(0u, values.count("Correction rate (Hz)")) << "mode 1 ignores corrections";
  EXPECT_EQ("20", values["Steps"]);
  EXPECT_EQ("50.0", values["Saturated steps (%)"]);
  EXPECT_EQ("0", values["Dropped as not finite"]);

  // Mode 0 also reports its corrections, over the period since the previous report.
  for (int i = 0; i < 5; ++i)
  {
    health.countCorrection();
  }
  values = valuesOf(reported(health, 102.5, 0));
  EXPECT_EQ("10.0", values["Correction rate (Hz)"]);
  EXPECT_EQ("0.0", values["Navigation rate (Hz)"]);
  EXPECT_EQ("0.0", values["Saturated steps (%)"]) << "no steps, no share";
}

TEST(ControllerHealth, WarnsForOnePeriodOfDropsSkipsOrSaturation)
{
  ControllerHealth health;
  health.start(0.0);
  // A flood of non-finite navigation: every message dropped, nothing stepped.
  for (int i = 0; i < 500; ++i)
  {
    health.countNavigation();
    health.countDropped();
  }
  diagnostic_updater::DiagnosticStatusWrapper status = reported(health, 1.0);
  EXPECT_EQ(DiagnosticStatus::WARN, status.level);
  EXPECT_EQ("messages dropped as not finite: 500", status.message);
  EXPECT_EQ("500", valuesOf(status)["Dropped as not finite"]);
  EXPECT_EQ("500.0", valuesOf(status)["Navigation rate (Hz)"]);

  // The next period starts clean.
  health.countNavigation();
  health.countStep(false);
  EXPECT_EQ(DiagnosticStatus::OK, reported(health, 2.0).level);

  health.countSkipped();
  health.countStep(true);
  health.countStep(true);
  health.countStep(false);
  status = reported(health, 3.0);
  EXPECT_EQ(DiagnosticStatus::WARN, status.level);
  EXPECT_EQ("steps skipped: 1; steps saturated: 2 of 3", status.message);
}
