#pragma once

// Mode 0 in the campaign: hover_lock servoing onto a visual target from the corrections of the model's camera,
// depth and heading held at the references it takes from navigation when servoing starts.
// Included by campaign.h; use that.

#include <array>
#include <cmath>
#include <deque>
#include <random>
#include <vector>

#include <quarn_sim/campaign.h>

namespace quarn::sim
{

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
  VehicleModelConfig water = model;
  if (!scenario.current)
  {
    water.current.setZero();
  }
  const Pose& start = SERVOING_START;
  const double targetX = start.x - scenario.dx, targetY = start.y - scenario.dy, targetZ = start.z;
  VehicleModel vehicle(water, start, scenario.seed);
  // Without camera items the camera is exact and sees the target at every navigation message, after it.
  const CameraConfig camera = model.camera.value_or(CameraConfig{ model.navRate, 0.0, 0.0 });
  std::mt19937 cameraRandom(scenario.seed ^ 0x85ebca6bu);
  std::normal_distribution<double> cameraNormal;
  const auto noise = [&] { return camera.noise > 0 ? camera.noise * cameraNormal(cameraRandom) : 0.0; };

  std::array<pid::CPid, 4> pids;
  const quarn::dev::ControlStep controlStep(pids);
  controlStep.init(config);
  const long periodMs = static_cast<long>(std::floor(1000.0 / camera.rate));

  struct Frame
  {
    double due;
    double x, y;
  };
  std::deque<Frame> frames;  // seen, not yet delivered
  quarn::dev::NavigationPose navigation{};
  bool armed = false, captured = false;
  float depthReference = 0.0f, headingReference = 0.0f;
  long navK = 0, frameK = 0;
  RunMetrics metrics(duration);
  Command command{};
  // Events in time order; at equal times navigation comes first, then the camera sees, then it delivers.
  for (;;)
  {
    const double navT = static_cast<double>(navK) / model.navRate;
    const double seeT = static_cast<double>(frameK) / camera.rate;
    const double dueT = frames.empty() ? INFINITY : frames.front().due;
    const double t = std::min({ navT, seeT, dueT });
    if (t > duration + 1e-9)
    {
      break;
    }
    vehicle.advance(t);
    if (navT == t)
    {
      const NavigationSample nav = vehicle.navigationAt(t);
      navigation = { nav.pose.x, nav.pose.y, nav.pose.z, 0, 0, nav.pose.yaw };
      ++navK;
      continue;
    }
    if (seeT == t)
    {
      const Offset offset = offsetInVehicleFrame(vehicle.pose(), targetX, targetY, targetZ);
      frames.push_back({ t + camera.latency, offset.x + noise(), offset.y + noise() });
      ++frameK;
      continue;
    }
    const Frame frame = frames.front();
    frames.pop_front();
    // The first correction of a run is of type -1: it arms the capture of the references and steps nothing.
    if (!armed)
    {
      armed = true;
      continue;
    }
    if (!captured)
    {
      depthReference = static_cast<float>(navigation[2]);
      headingReference = static_cast<float>(navigation[5]);
      captured = true;
    }
    const Pose& p = vehicle.pose();
    const Offset truth = offsetInVehicleFrame(p, targetX, targetY, targetZ);
    const Axes error{ truth.x, truth.y, p.z - depthReference,
                      quarn::algebra::normalizeAngle(p.yaw - static_cast<double>(headingReference)) };
    // The node's own step: the heading difference is not wrapped.
    detail::stepAndRecord(controlStep,
                          { frame.x, frame.y, depthReference - navigation[2], headingReference - navigation[5] },
                          periodMs, t, error, vehicle, command, metrics, trace);
  }
  RunResult result = metrics.result();
  result.scenario = scenario;
  return result;
}

}  // namespace quarn::sim
