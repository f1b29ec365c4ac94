#ifndef QUARN_DEV_HOVER_LOCK_CORE_H
#define QUARN_DEV_HOVER_LOCK_CORE_H

// Arithmetic of the hover_lock node, kept free of ROS plumbing: the configuration record and its checks, the
// pose error of a navigation step, the rounding of controller outputs and the response they fill.

#include <math.h>

#include <cmath>
#include <string>

#include <Eigen/Core>

#include <quarn_algebra.h>
#include <quarn_common/BhResponse.h>
#include <quarn_common/NavigationData.h>
#include <quarn_common/VisualServoingData.h>
#include <quarn_xml/XmlParamMapper.h>

namespace quarn
{
namespace dev
{

/// Configuration of the hover_lock node, filled from its XML document by an XmlParamMapper.
///
///   quarn::xml::XmlParamMapper<DeviceConfig> mapper;
///   mapItems(mapper);
///   mapper.loadXmlString(text);
///   if (configShortfall(mapper.data()).empty()) { ... }
struct DeviceConfig
{
  Eigen::VectorXd pidConfigX;    ///< x controller gains: proportional, integral, derivative; 3 or more (extra ignored)
  Eigen::VectorXd pidConfigY;    ///< y controller gains, same layout
  Eigen::VectorXd pidConfigZ;    ///< z (depth) controller gains, same layout
  Eigen::VectorXd pidConfigYaw;  ///< yaw controller gains, same layout
  Eigen::VectorXd desiredPose;   ///< pose held in mode 1: x, y, z, unused, unused, yaw (rad); 6 or more
  int mode = 0;  ///< 0 visual-servoing correction, 1 navigation-driven pose holding, else publish nothing
};

/// Pose array of a navigation message: x, y, z at 0..2, yaw (rad) at 5.
using NavigationPose = quarn_common::NavigationData::_pose_type;

/// Registers the node's six configuration items on mapper, in the node's order: the four gain vectors,
/// "desired_pose", then "mode".
inline void mapItems(quarn::xml::XmlParamMapper<DeviceConfig>& mapper)
{
  mapper.mapItem("pid_config_x", &DeviceConfig::pidConfigX);
  mapper.mapItem("pid_config_y", &DeviceConfig::pidConfigY);
  mapper.mapItem("pid_config_z", &DeviceConfig::pidConfigZ);
  mapper.mapItem("pid_config_yaw", &DeviceConfig::pidConfigYaw);
  mapper.mapItem("desired_pose", &DeviceConfig::desiredPose);
  mapper.mapItem("mode", &DeviceConfig::mode);
}

/// Empty when every vector of config is long enough; otherwise names the first short item and its length.
inline std::string configShortfall(const DeviceConfig& config);

/// Pose error of a step in mode 1: target offset ahead of and across the vehicle's heading (desired minus
/// current, turned into the yaw frame), depth offset z - z_d, heading offset yaw - yaw_d wrapped into (-pi, pi].
/// Reads entries 0, 1, 2 and 5 of pose and of desiredPose (which needs 6 entries).
inline Eigen::Vector4d computeErrorPosition(const NavigationPose& pose, const Eigen::VectorXd& desiredPose);

/// A controller output in tenths: the product with 10 is rounded in single precision, halves away from zero.
inline double tenth(double output)
{
  return ::roundf(static_cast<float>(output * 10.0)) / 10.0;
}

/// The negated tenth, by division by -10, so a zero output gives -0.0 as the published x and y commands carry.
inline double negatedTenth(double output)
{
  return ::roundf(static_cast<float>(output * 10.0)) / -10.0;
}

/// Response commanding the four controller outputs: linear x and y negated, linear z and angular z as they
/// are, all in tenths; flags (1, 1, 1, 0, 0, 1), priority 10.
inline quarn_common::BhResponse behaviorResponse(double outX, double outY, double outZ, double outYaw);

/// Whether the pose entries a step reads (x, y, z, yaw) are all finite.
inline bool isUsable(const NavigationPose& pose)
{
  return std::isfinite(pose[0]) && std::isfinite(pose[1]) && std::isfinite(pose[2]) && std::isfinite(pose[5]);
}

/// Whether the correction position a step reads (x, y) is finite.
inline bool isUsable(const quarn_common::VisualServoingData& correction)
{
  return std::isfinite(correction.correction.position.x) && std::isfinite(correction.correction.position.y);
}

// ---------------------------------------------------------------------------------------------------------------

inline std::string configShortfall(const DeviceConfig& config)
{
  struct Need
  {
    const char* item;
    const Eigen::VectorXd& vector;
    Eigen::Index size;
  };
  const Need needs[] = {
    { "pid_config_x", config.pidConfigX, 3 },  { "pid_config_y", config.pidConfigY, 3 },
    { "pid_config_z", config.pidConfigZ, 3 },  { "pid_config_yaw", config.pidConfigYaw, 3 },
    { "desired_pose", config.desiredPose, 6 },
  };
  for (const Need& need : needs)
  {
    if (need.vector.size() < need.size)
    {
      return std::string(need.item) + " holds " + std::to_string(need.vector.size()) + " numbers, needs at least " +
             std::to_string(need.size);
    }
  }
  return std::string();
}

inline Eigen::Vector4d computeErrorPosition(const NavigationPose& pose, const Eigen::VectorXd& desiredPose)
{
  const double x = pose[0], y = pose[1], z = pose[2], yaw = pose[5];
  const double xd = desiredPose[0], yd = desiredPose[1], zd = desiredPose[2], yawd = desiredPose[5];
  const double c = std::cos(yaw), s = std::sin(yaw);
  // World to vehicle frame: rotate by the transposed yaw rotation, then shift by -R^T p; summed in that order.
  const double shiftAhead = -c * x - s * y;
  const double shiftAcross = s * x - c * y;
  return Eigen::Vector4d(c * xd + s * yd + shiftAhead, -s * xd + c * yd + shiftAcross, z - zd,
                         quarn::algebra::normalizeAngle(yaw - yawd));
}

inline quarn_common::BhResponse behaviorResponse(double outX, double outY, double outZ, double outYaw)
{
  quarn_common::BhResponse response;
  response.twist.linear.x = negatedTenth(outX);
  response.twist.linear.y = negatedTenth(outY);
  response.twist.linear.z = tenth(outZ);
  response.twist.angular.z = tenth(outYaw);
  response.activationLevels = { 1, 1, 1, 0, 0, 1 };
  response.priority = 10;
  return response;
}

}  // namespace dev
}  // namespace quarn

#endif  // QUARN_DEV_HOVER_LOCK_CORE_H
