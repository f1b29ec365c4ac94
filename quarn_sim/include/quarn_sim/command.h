#pragma once

#include <quarn_common/BhResponse.h>

#include <quarn_sim/vehicle_model.h>

namespace quarn::sim
{

/// The set-point a behaviour response carries: linear x, y, z and angular z with their activation flags.
inline Command toCommand(const quarn_common::BhResponse& response)
{
  const auto& twist = response.twist;
  const auto& flags = response.activationLevels;
  return { { twist.linear.x, twist.linear.y, twist.linear.z, twist.angular.z },
           { flags[0] != 0, flags[1] != 0, flags[2] != 0, flags[5] != 0 } };
}

}  // namespace quarn::sim
