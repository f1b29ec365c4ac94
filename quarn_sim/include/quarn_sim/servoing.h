#pragma once

// Mode 0 in the campaign: hover_lock servoing onto a visual target from the corrections of the model's camera,
// depth and heading held at the references it takes from navigation when servoing starts.
// Included by campaign.h; use that.

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <vector>

#include <quarn_sim/campaign.h>

namespace quarn::sim
{
namespace detail
{

/// One view of the camera: the target's offset in the vehicle frame with the camera's noise.
struct Frame
{
  double due;   ///< s: when the view is delivered
  double x, y;  ///< m: the target ahead and to the left of the vehicle
};

/// The camera of a mode 0 run: it sees the target at k / rate seconds (k = 0, 1, ...) and delivers each view,
/// with white noise of sigma noise on x and y, latency seconds later, in the order seen.
///
///   CameraFeed camera(model, seed);
///   if (camera.nextSeen() == t) camera.see(t, offset);   // t: the simulated time now
///   if (camera.nextDue() == t) Frame frame = camera.deliver();
class CameraFeed
{
public:
  /// The camera of model, noise drawn from a generator seeded from seed; without camera items in model it is
  /// exact and sees at every navigation message.
  CameraFeed(const VehicleModelConfig& model, unsigned seed)
    : camera_(model.camera.value_or(CameraConfig{ model.navRate, 0.0, 0.0 })), noise_(camera_, seed)
  {}

  /// Time of the next view (s).
  double nextSeen() const { return static_cast<double>(seen_) / camera_.rate; }
  /// Time the oldest view not yet delivered is due (s); INFINITY when none waits.
  double nextDue() const { return frames_.empty() ? INFINITY : frames_.front().due; }
  /// The time step the node sees between two corrections, in whole milliseconds.
  long periodMs() const { return static_cast<long>(std::floor(1000.0 / camera_.rate)); }

  /// Sees the target at offset at t (s), the time of the next view.
  void see(double t, const Offset& offset)
  {
    frames_.push_back({ t + camera_.latency, offset.x + noise_(), offset.y + noise_() });
    ++seen_;
  }

  /// Hands over the oldest view not yet delivered; one must wait.
  Frame deliver()
  {
    const Frame frame = frames_.front();
    frames_.pop_front();
    return frame;
  }

private:
  CameraConfig camera_;
  CameraNoise noise_;
  std::deque<Frame> frames_;  // seen, not yet delivered
  long seen_ = 0;
};

/// The depth and heading references of a mode 0 run, captured as the node captures them: the first correction
/// arms the capture and steps nothing, the second takes depth and heading from the latest navigation message.
///
///   References references;
///   if (references.take(navigation)) { /* step on the correction, holding references.depth and .heading */ }
struct References
{
  bool armed = false, captured = false;
  float depth = 0.0f, heading = 0.0f;  ///< m, rad: single precision, as the node keeps them

  /// Takes a correction with navigation the latest message; whether the node steps on it.
  bool take(const quarn::dev::NavigationPose& navigation)
  {
    if (!armed)
    {
      armed = true;
      return false;
    }
    if (!captured)
    {
      depth = static_cast<float>(navigation[2]);
      heading = static_cast<float>(navigation[5]);
      captured = true;
    }
    return true;
  }
};

/// hover_lock's side of a mode 0 run: the latest navigation message, the references and the four controllers
/// stepped on each correction with a time step of the camera's period. Not copyable: its control step points at
/// its own controllers.
///
///   ServoingNode node(config, targetX, targetY, targetZ, camera.periodMs());
///   node.navigate(vehicle.navigationAt(t));                  // on each navigation message
///   node.correct(camera.deliver(), t, vehicle, metrics, trace);  // on each correction
class ServoingNode
{
public:
  /// The node configured by config, servoing onto the target at x, y, z (m, world).
  ServoingNode(const quarn::dev::DeviceConfig& config, double x, double y, double z, long periodMs)
    : targetX_(x), targetY_(y), targetZ_(z), periodMs_(periodMs), controlStep_(pids_)
  {
    controlStep_.init(config);
  }
  ServoingNode(const ServoingNode&) = delete;
  ServoingNode& operator=(const ServoingNode&) = delete;

  /// The target's offset from pose in the vehicle frame.
  Offset target(const Pose& pose) const { return offsetInVehicleFrame(pose, targetX_, targetY_, targetZ_); }

  /// Takes the navigation message of sample.
  void navigate(const NavigationSample& sample) { navigation_ = navigationPose(sample); }

  /// Steps on the correction frame delivered at t (s), commanding vehicle; the step goes to metrics and trace.
  void correct(const Frame& frame, double t, VehicleModel& vehicle, RunMetrics& metrics,
               std::vector<TracePoint>* trace);

private:
  double targetX_, targetY_, targetZ_;
  long periodMs_;
  std::array<pid::CPid, 4> pids_;
  const quarn::dev::ControlStep controlStep_;
  quarn::dev::NavigationPose navigation_{};
  References references_;
  Command command_{};  // the set-point published last
};

inline void ServoingNode::correct(const Frame& frame, double t, VehicleModel& vehicle, RunMetrics& metrics,
                                  std::vector<TracePoint>* trace)
{
  if (!references_.take(navigation_))
  {
    return;
  }
  const Pose& p = vehicle.pose();
  const Offset truth = target(p);
  const double depth = references_.depth, heading = references_.heading;
  const Axes error{ truth.x, truth.y, p.z - depth, quarn::algebra::normalizeAngle(p.yaw - heading) };
  // The node's own step: the heading difference is not wrapped.
  stepAndRecord(controlStep_, { frame.x, frame.y, depth - navigation_[2], heading - navigation_[5] }, periodMs_, t,
                error, vehicle, command_, metrics, trace);
}

}  // namespace detail

inline Scenario servoingScenario(int i, unsigned seed)
{
  const int c = i % SERVOING_CONDITIONS;
  const double direction = (c % 8) * M_PI / 4, radius = (c / 8) % 2 ? 3.0 : 1.0;
  Scenario s;
  s.run = i;
  s.dx = -radius * std::cos(direction);
  s.dy = -radius * std::sin(direction);
  s.current = (c / 16) % 2 == 0;
  s.seed = seed + static_cast<unsigned>(i);
  return s;
}

inline RunResult runServoingScenario(const quarn::dev::DeviceConfig& config, const VehicleModelConfig& model,
                                     const Scenario& scenario, double duration, std::vector<TracePoint>* trace)
{
  const Pose& start = SERVOING_START;
  VehicleModel vehicle(detail::inWater(model, scenario), start, scenario.seed);
  detail::CameraFeed camera(model, scenario.seed);
  detail::ServoingNode node(config, start.x - scenario.dx, start.y - scenario.dy, start.z, camera.periodMs());
  RunMetrics metrics(duration);
  long navK = 0;
  // Events in time order; at equal times navigation comes first, then the camera sees, then it delivers.
  for (;;)
  {
    const double navT = static_cast<double>(navK) / model.navRate;
    const double seeT = camera.nextSeen();
    const double t = std::min({ navT, seeT, camera.nextDue() });
    if (t > duration + 1e-9)
    {
      break;
    }
    vehicle.advance(t);
    if (navT == t)
    {
      node.navigate(vehicle.navigationAt(t));
      ++navK;
    }
    else if (seeT == t)
    {
      camera.see(t, node.target(vehicle.pose()));
    }
    else  // t is the least of the three exactly: neither navT nor seeT, so a view is due now
    {
      node.correct(camera.deliver(), t, vehicle, metrics, trace);
    }
  }
  return detail::resultOf(metrics, scenario, vehicle);
}

}  // namespace quarn::sim
