#ifndef QUARN_DEV_CONTROLLER_STATE_H
#define QUARN_DEV_CONTROLLER_STATE_H

// What the hover_lock node tells about its controllers beyond the responses: the state of each published step,
// for plotting and tuning, and the health of each diagnostics period, for the operator.

#include <array>
#include <cstdio>
#include <string>

#include <diagnostic_msgs/DiagnosticStatus.h>
#include <diagnostic_updater/DiagnosticStatusWrapper.h>
#include <ros/time.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/ControllerState.h>
#include <quarn_dev/hover_lock_core.h>
#include <quarn_pid.h>

namespace quarn
{
namespace dev
{

/// State of one published step at stamp: each controller's measure, its last step's terms, its output, and the
/// command the response carried.
inline quarn_common::ControllerState controllerState(const ros::Time& stamp, int mode, const PerAxis& measure,
                                                     const std::array<pid::CPid::Step, 4>& steps, const PerAxis& output,
                                                     const quarn_common::BhResponse& response);

/// Counts what the node did between two diagnostics updates and turns it into one status.
///
///   ControllerHealth health;
///   health.start(now);
///   health.countNavigation();  // ... one count per event
///   health.report(status, mode, later);  // fills a DiagnosticStatusWrapper, starts the next period
///
/// Level: OK, or WARN when a message was dropped or a step skipped in the period, or more than half of the
/// period's steps saturated an axis.
class ControllerHealth
{
public:
  /// Share of saturated steps above which a period earns a warning.
  static constexpr double MAX_SATURATED_SHARE = 0.5;

  /// Starts a period at now (s).
  void start(double now) { start_ = now; }
  /// A navigation message arrived, usable or not.
  void countNavigation() { ++navigation_; }
  /// A pixel correction arrived, usable or not.
  void countCorrection() { ++corrections_; }
  /// A message was dropped because a value it needs is not finite.
  void countDropped() { ++dropped_; }
  /// A control step was computed but not published (not finite, or references it cannot hold).
  void countSkipped() { ++skipped_; }
  /// A response was published; saturated: some controller clamped its output.
  void countStep(bool saturated)
  {
    ++steps_;
    saturated_ += saturated ? 1 : 0;
  }

  /// Fills status with the figures of the period that ends at now (s) and its level, then starts the next one.
  inline void report(diagnostic_updater::DiagnosticStatusWrapper& status, int mode, double now);

private:
  double start_ = 0.0;
  unsigned navigation_ = 0;
  unsigned corrections_ = 0;
  unsigned dropped_ = 0;
  unsigned skipped_ = 0;
  unsigned steps_ = 0;
  unsigned saturated_ = 0;
};

// ---------------------------------------------------------------------------------------------------------------

inline quarn_common::ControllerState controllerState(const ros::Time& stamp, int mode, const PerAxis& measure,
                                                     const std::array<pid::CPid::Step, 4>& steps, const PerAxis& output,
                                                     const quarn_common::BhResponse& response)
{
  quarn_common::ControllerState state;
  state.header.stamp = stamp;
  state.mode = mode;
  for (std::size_t axis = 0; axis < 4; ++axis)
  {
    const pid::CPid::Step& step = steps[axis];
    state.measure[axis] = measure[axis];
    state.proportional[axis] = step.proportional;
    state.integral[axis] = step.integral;
    state.derivative[axis] = step.derivative;
    state.output[axis] = output[axis];
    state.saturated[axis] = step.clamped;
    state.dt[axis] = step.dt;
  }
  state.command = { response.twist.linear.x, response.twist.linear.y, response.twist.linear.z,
                    response.twist.angular.z };
  return state;
}

inline void ControllerHealth::report(diagnostic_updater::DiagnosticStatusWrapper& status, int mode, double now)
{
  const double seconds = now - start_;
  const auto rate = [seconds](unsigned count) { return seconds > 0.0 ? count / seconds : 0.0; };
  const double saturatedShare = steps_ > 0 ? static_cast<double>(saturated_) / steps_ : 0.0;

  std::string problems;
  const auto note = [&problems](bool problem, const std::string& text) {
    if (problem)
    {
      problems += (problems.empty() ? "" : "; ") + text;
    }
  };
  note(dropped_ > 0, "messages dropped as not finite: " + std::to_string(dropped_));
  note(skipped_ > 0, "steps skipped: " + std::to_string(skipped_));
  note(saturatedShare > MAX_SATURATED_SHARE,
       "steps saturated: " + std::to_string(saturated_) + " of " + std::to_string(steps_));
  if (problems.empty())
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::OK, "Controlling");
  }
  else
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::WARN, problems);
  }

  status.add("Mode", mode);
  status.addf("Navigation rate (Hz)", "%.1f", rate(navigation_));
  if (mode == 0)
  {
    status.addf("Correction rate (Hz)", "%.1f", rate(corrections_));
  }
  status.add("Dropped as not finite", dropped_);
  status.add("Skipped steps", skipped_);
  status.add("Steps", steps_);
  status.addf("Saturated steps (%)", "%.1f", 100.0 * saturatedShare);
  status.addf("Period (s)", "%.2f", seconds);

  *this = ControllerHealth();
  start_ = now;
}

}  // namespace dev
}  // namespace quarn

#endif  // QUARN_DEV_CONTROLLER_STATE_H
