#include <map>
#include <string>

#include <gtest/gtest.h>

#include <quarn_dev/controller_state.h>

using diagnostic_msgs::DiagnosticStatus;

namespace
{

// The status of the period ending at now, and its key-value pairs by key.
std::pair<DiagnosticStatus, std::map<std::string, std::string>> report(quarn::dev::ControllerHealth& health, double now,
                                                                       int mode = 1)
{
  diagnostic_updater::DiagnosticStatusWrapper status;
  health.report(status, mode, now);
  std::map<std::string, std::string> values;
  for (const diagnostic_msgs::KeyValue& pair : status.values)
  {
    values[pair.key] = pair.value;
  }
  return { status, values };
}

}  // namespace

TEST(ControllerHealth, EachPeriodHasItsOwnRatesAndLevel)
{
  quarn::dev::ControllerHealth health;
  health.start(100.0);
  // A flood of non-finite navigation: every message dropped.
  for (int i = 0; i < 500; ++i)
  {
    health.countNavigation();
    health.countDropped();
  }
  auto [status, values] = report(health, 101.0);
  EXPECT_EQ(DiagnosticStatus::WARN, status.level);
  EXPECT_EQ("messages dropped as not finite: 500", status.message);
  EXPECT_EQ("500.0", values["Navigation rate (Hz)"]);
  EXPECT_EQ(0u, values.count("Correction rate (Hz)")) << "mode 1 ignores corrections";

  // The next period starts clean; half of the steps saturated is not more than half.
  for (int i = 0; i < 20; ++i)
  {
    health.countNavigation();
    health.countStep(i % 2 == 0);
  }
  std::tie(status, values) = report(health, 103.0);
  EXPECT_EQ(DiagnosticStatus::OK, status.level) << status.message;
  EXPECT_EQ("10.0", values["Navigation rate (Hz)"]);
  EXPECT_EQ("50.0", values["Saturated steps (%)"]);
  EXPECT_EQ("0", values["Dropped as not finite"]);

  health.countCorrection();
  health.countSkipped();
  health.countStep(true);
  health.countStep(true);
  health.countStep(false);
  std::tie(status, values) = report(health, 103.5, 0);
  EXPECT_EQ(DiagnosticStatus::WARN, status.level);
  EXPECT_EQ("steps skipped: 1; steps saturated: 2 of 3", status.message);
  EXPECT_EQ("2.0", values["Correction rate (Hz)"]);
}
