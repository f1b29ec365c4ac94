#pragma once

#include <array>
#include <cmath>
#include <random>

namespace vehicle_sim
{

/// Pose in the world frame: x, y, z in metres, yaw in radians about the z axis (counter-clockwise from x).
struct Pose
{
  double x = 0, y = 0, z = 0, yaw = 0;
};

/// Velocity in the body frame: x ahead, y to the left, z along the world z axis (m/s), yaw rate (rad/s).
struct Velocity
{
  double x = 0, y = 0, z = 0, yaw = 0;
};

/// A velocity set-point with one flag per component (x, y, z, yaw); a component is in force only when its flag is set.
struct Command
{
  Velocity velocity;
  std::array<bool, 4> active{};
};

/// A world point seen from the vehicle: x ahead, y to the left, z along the world z axis (m).
struct Offset
{
  double x = 0, y = 0, z = 0;
};

/// Offset of the world point (px, py, pz) in the frame of a vehicle at `vehicle`.
inline Offset offsetInVehicleFrame(const Pose& vehicle, double px, double py, double pz)
{
  const double c = std::cos(vehicle.yaw), s = std::sin(vehicle.yaw);
  const double dx = px - vehicle.x, dy = py - vehicle.y;
  return { c * dx + s * dy, -s * dx + c * dy, pz - vehicle.z };
}

/// Kinematic vehicle: follows the latest velocity set-point exactly, drifts with a constant water current and
/// picks up Gaussian velocity noise.
///
///   VehicleModel vehicle({0, 0, 2, 0}, {0.1, 0, 0}, 0.0, 1);
///   vehicle.command(cmd, 10.0);   // received at t = 10 s
///   vehicle.step(10.05, 0.05);    // integrate the 50 ms up to t = 10.05 s
///   double x = vehicle.pose().x;
class VehicleModel
{
public:
  /// A set-point older than this (s) is treated as zero: the vehicle stops when its controller goes quiet.
  static constexpr double COMMAND_TIMEOUT = 0.5;

  /// Starts at `start` with a world-frame `current` (m/s) and noise of standard deviation `noiseSigma` (m/s and
  /// rad/s, 0 for none) on every velocity component, drawn from a generator seeded with `seed`.
  VehicleModel(const Pose& start, const std::array<double, 3>& current, double noiseSigma, unsigned seed)
    : pose_(start), current_(current), noiseSigma_(noiseSigma), random_(seed)
  {}

  /// Takes a set-point received at `time` (s); it replaces the previous one.
  void command(const Command& command, double time)
  {
    command_ = command;
    commandTime_ = time;
  }

  /// Advances the pose by `dt` seconds (>= 0) ending at `time` (s), with the set-point in force at `time`.
  void step(double time, double dt);

  /// Current pose.
  const Pose& pose() const { return pose_; }

  /// Body-frame velocity the last step applied on command (zero for inactive or stale components).
  const Velocity& applied() const { return applied_; }

private:
  double noise() { return noiseSigma_ > 0 ? std::normal_distribution<double>(0.0, noiseSigma_)(random_) : 0.0; }

  Pose pose_;
  std::array<double, 3> current_;
  double noiseSigma_;
  std::mt19937 random_;
  Command command_;
  double commandTime_ = -1e300;
  Velocity applied_;
};

inline void VehicleModel::step(double time, double dt)
{
  const bool fresh = time - commandTime_ <= COMMAND_TIMEOUT;
  const Velocity& v = command_.velocity;
  const auto inForce = [&](int axis, double value) { return fresh && command_.active[axis] ? value : 0.0; };
  applied_ = { inForce(0, v.x), inForce(1, v.y), inForce(2, v.z), inForce(3, v.yaw) };

  // Body x and y turn into the world by the heading at the start of the step.
  const double c = std::cos(pose_.yaw), s = std::sin(pose_.yaw);
  pose_.x += (c * applied_.x - s * applied_.y + current_[0] + noise()) * dt;
  pose_.y += (s * applied_.x + c * applied_.y + current_[1] + noise()) * dt;
  pose_.z += (applied_.z + current_[2] + noise()) * dt;
  pose_.yaw = std::remainder(pose_.yaw + (applied_.yaw + noise()) * dt, 2 * M_PI);
}

}  // namespace vehicle_sim
