#pragma once

// Recordings of hover_lock's arithmetic holding a pose on a vehicle model, made without ROS: for the identification
// tests, and as a bag for timing the identify tool.

#include <array>
#include <string>

#include <rosbag/bag.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/NavigationData.h>
#include <quarn_dev/hover_lock_core.h>
#include <quarn_pid.h>
#include <quarn_sim/recording.h>
#include <quarn_sim/vehicle_model.h>

namespace quarn_sim_test
{

/// hover_lock's arithmetic and four controllers stepped at the navigation rate against the model for duration
/// seconds, holding (0, 0, 2, 0) from (3, -3, 3, 1); recorded as a bag would hold it, the set-points at the
/// navigation times; velocities kept or left zero.
inline quarn::sim::Recording closedLoop(const quarn::sim::VehicleModelConfig& model, double duration, bool velocities,
                                        unsigned seed)
{
  quarn::sim::VehicleModel vehicle(model, { 3, -3, 3, 1 }, seed);
  quarn::dev::DeviceConfig config;
  config.pidConfigX = Eigen::Vector3d(3, 0.05, 0);
  config.pidConfigY = Eigen::Vector3d(3, 0.05, 0);
  config.pidConfigZ = Eigen::Vector3d(1, 0.1, 0);
  config.pidConfigYaw = Eigen::Vector3d(3, 0.05, 0);
  config.desiredPose = Eigen::VectorXd::Zero(6);
  config.desiredPose[2] = 2;
  config.mode = 1;
  std::array<pid::CPid, 4> pids;
  const quarn::dev::ControlStep controlStep(pids);
  controlStep.init(config);
  quarn::sim::Recording r;
  r.hasVelocity = velocities;
  r.stamped = true;
  const double period = 1.0 / model.navRate;
  const long periodMs = static_cast<long>(period * 1000);
  for (int k = 1; k * period <= duration; ++k)
  {
    const double t = k * period;
    vehicle.advance(t);
    const quarn::sim::NavigationSample nav = vehicle.navigationAt(t);
    quarn::sim::NavSample sample;
    sample.t = nav.stamp;
    sample.recordLag = t - nav.stamp;
    sample.pose = { nav.pose.x, nav.pose.y, nav.pose.z, nav.pose.yaw };
    if (velocities)
    {
      sample.velocity = { nav.velocity.x, nav.velocity.y, nav.velocity.z, nav.velocity.yaw };
    }
    r.navigation.push_back(sample);

    quarn::dev::NavigationPose pose{};
    pose[0] = nav.pose.x;
    pose[1] = nav.pose.y;
    pose[2] = nav.pose.z;
    pose[5] = nav.pose.yaw;
    const Eigen::Vector4d error = quarn::dev::computeErrorPosition(pose, config.desiredPose);
    const quarn::dev::StepResult step = controlStep({ error[0], error[1], error[2], error[3] }, periodMs);
    if (step.status != quarn::dev::StepResult::STEPPED)
    {
      continue;
    }
    const quarn_common::BhResponse& response = step.response;
    const auto& twist = response.twist;
    quarn::sim::CommandSample command;
    command.t = t;
    command.value = { twist.linear.x, twist.linear.y, twist.linear.z, twist.angular.z };
    command.active = { true, true, true, true };
    r.commands.push_back(command);
    vehicle.command({ { command.value[0], command.value[1], command.value[2], command.value[3] }, command.active }, t);
  }
  return r;
}

/// Writes r to a bag at path as a recorder on the vehicle would have: navigation on "navigator_data" stamped at
/// its times and recorded recordLag later, set-points on "behavior_response" recorded at theirs. Times count
/// from origin (s on the ROS clock).
inline void writeBag(const quarn::sim::Recording& r, const std::string& path, double origin = 1000.0)
{
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  for (const quarn::sim::NavSample& s : r.navigation)
  {
    quarn_common::NavigationData m;
    m.header.stamp = ros::Time(origin + s.t);
    m.pose = { s.pose[0], s.pose[1], s.pose[2], 0, 0, s.pose[3] };
    m.velocity = { s.velocity[0], s.velocity[1], s.velocity[2], 0, 0, s.velocity[3] };
    bag.write("navigator_data", ros::Time(origin + s.t + s.recordLag), m);
  }
  for (const quarn::sim::CommandSample& c : r.commands)
  {
    quarn_common::BhResponse m;
    m.twist.linear.x = c.value[0];
    m.twist.linear.y = c.value[1];
    m.twist.linear.z = c.value[2];
    m.twist.angular.z = c.value[3];
    m.activationLevels = { c.active[0], c.active[1], c.active[2], 0, 0, c.active[3] };
    bag.write("behavior_response", ros::Time(origin + c.t), m);
  }
}

}  // namespace quarn_sim_test
