#pragma once

// A thruster-driven rigid body in four degrees of freedom (surge, sway, heave, yaw; roll and pitch held by the
// vehicle's own stability), with the vehicle's own velocity controller between a set-point and its thrusters.
//
// Law, in the body frame (z along the world z axis, positive down) with v the velocity through the water:
//   M dv/dt + C(v) v + D(v) v - (W - B) e_z = tau,   tau = L f
// M = diag(m + X_udot, m + Y_vdot, m + Z_wdot, Izz + N_rdot); C(v) v = (-m22 v r, m11 u r, 0, (m22 - m11) u v);
// D(v) = linear + quadratic |v| per axis; W - B the weight less the buoyancy; L the layout of eight thrusters
// (four horizontal vectored at an angle, four vertical). The controller is a PI on each axis's velocity with
// feed-forward of the modelled drag at the set-point; its force is allocated to the thrusters by the least-squares
// inverse of L and scaled down as a whole when a thruster would pass its limit (forward or reverse); each thruster
// follows its demand with a first-order lag.
//
//   ThrusterVehicle vehicle(loadVehicleModel(text).thrusters);  // text: a document of kind "thrusters"
//   double v[4] = { 0, 0, 0, 0 };
//   const double setPoint[4] = { 0.5, 0, 0, 0 };
//   vehicle.step(v, setPoint, 0.001);                      // v is the velocity 1 ms later

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <Eigen/LU>

#include <quarn_xml/XmlParamMapper.h>

namespace quarn::sim
{

/// Number of thrusters: 0 to 3 horizontal, 4 to 7 vertical.
constexpr int THRUSTERS = 8;

/// The items of a document of kind "thrusters" that describe the vehicle itself. 4-vectors in the order surge,
/// sway, heave, yaw.
struct ThrusterVehicleConfig
{
  double mass = 0;                   ///< "mass" > 0 (kg)
  double displacedVolume = 0;        ///< "displaced_volume" >= 0 (m^3)
  double waterDensity = 0;           ///< "water_density" > 0 (kg/m^3)
  double gravity = 0;                ///< "gravity" > 0 (m/s^2)
  double yawInertia = 0;             ///< "yaw_inertia" > 0 (kg m^2)
  Eigen::VectorXd addedMass;         ///< "added_mass", 4 values >= 0 (kg, kg, kg, kg m^2)
  Eigen::VectorXd linearDamping;     ///< "linear_damping", 4 values >= 0 (N s/m; N m s/rad for yaw)
  Eigen::VectorXd quadraticDamping;  ///< "quadratic_damping", 4 values >= 0 (N s^2/m^2; N m s^2/rad^2 for yaw)
  double thrusterAngle = 0;          ///< "thruster_angle" in (0, pi/2) (rad): horizontal thrusters off the x axis
  double yawArm = 0;                 ///< "yaw_arm" > 0 (m): yaw moment of a horizontal thruster per newton
  double forwardThrust = 0;          ///< "forward_thrust" > 0 (N): most a thruster pushes forward
  double reverseThrust = 0;          ///< "reverse_thrust" > 0 (N): most a thruster pushes in reverse
  double thrusterTimeConstant = 0;   ///< "thruster_time_constant" >= 0 (s): first-order lag of a thruster
  Eigen::VectorXd velocityKp;        ///< "velocity_kp", 4 values >= 0 (N per m/s; N m per rad/s for yaw)
  Eigen::VectorXd velocityKi;        ///< "velocity_ki", 4 values >= 0 (N per m; N m per rad for yaw)
};

/// Registers the items of ThrusterVehicleConfig on mapper.
inline void mapThrusterItems(quarn::xml::XmlParamMapper<ThrusterVehicleConfig>& mapper)
{
  mapper.mapItem("mass", &ThrusterVehicleConfig::mass);
  mapper.mapItem("displaced_volume", &ThrusterVehicleConfig::displacedVolume);
  mapper.mapItem("water_density", &ThrusterVehicleConfig::waterDensity);
  mapper.mapItem("gravity", &ThrusterVehicleConfig::gravity);
  mapper.mapItem("yaw_inertia", &ThrusterVehicleConfig::yawInertia);
  mapper.mapItem("added_mass", &ThrusterVehicleConfig::addedMass);
  mapper.mapItem("linear_damping", &ThrusterVehicleConfig::linearDamping);
  mapper.mapItem("quadratic_damping", &ThrusterVehicleConfig::quadraticDamping);
  mapper.mapItem("thruster_angle", &ThrusterVehicleConfig::thrusterAngle);
  mapper.mapItem("yaw_arm", &ThrusterVehicleConfig::yawArm);
  mapper.mapItem("forward_thrust", &ThrusterVehicleConfig::forwardThrust);
  mapper.mapItem("reverse_thrust", &ThrusterVehicleConfig::reverseThrust);
  mapper.mapItem("thruster_time_constant", &ThrusterVehicleConfig::thrusterTimeConstant);
  mapper.mapItem("velocity_kp", &ThrusterVehicleConfig::velocityKp);
  mapper.mapItem("velocity_ki", &ThrusterVehicleConfig::velocityKi);
}

/// Empty when vehicle keeps every rule of its items; otherwise "<item> must ..., got ..." for the first broken one.
inline std::string thrusterFault(const ThrusterVehicleConfig& vehicle);

/// The same vehicle with its masses, inertia and displaced volume (so its net buoyancy in proportion) and its
/// damping multiplied by scale.
inline ThrusterVehicleConfig scaledThrusterVehicle(const ThrusterVehicleConfig& vehicle, double scale);

/// What the thrusters did over a run.
struct ThrusterUse
{
  std::array<double, THRUSTERS> meanThrust{};  ///< mean |thrust| of each thruster (N)
  double saturatedShare = 0;                   ///< share of steps on which the demand was scaled down, in [0, 1]
  double reversalsPerSecond = 0;               ///< sign changes of the thrusters' demands, all eight, per second
};

/// The mean of each figure over the runs (all zero for none).
inline ThrusterUse averageUse(const std::vector<ThrusterUse>& runs);

/// The vehicle of a ThrusterVehicleConfig and its velocity controller; see the law at the top of this file.
class ThrusterVehicle
{
public:
  /// Thrusters idle, controller integrals zero. vehicle must keep thrusterFault's rules.
  explicit ThrusterVehicle(const ThrusterVehicleConfig& vehicle);

  /// Advances the velocity v (body frame, through the water; m/s, rad/s) by dt seconds under the set-point
  /// setPoint (same units).
  void step(double (&v)[4], const double (&setPoint)[4], double dt);

  /// Body force and moment (N, N, N, N m) the controller asks for at velocity v under setPoint, before allocation.
  std::array<double, 4> demand(const double (&v)[4], const double (&setPoint)[4]) const;
  /// Thrust of each thruster (N) for a body force and moment, scaled down as a whole so that none passes its limit;
  /// the factor applied (1 when none had to be) goes to scale.
  std::array<double, THRUSTERS> allocate(const std::array<double, 4>& force, double& scale) const;
  /// Body force and moment (N, N, N, N m) of the thrusts.
  std::array<double, 4> bodyForce(const std::array<double, THRUSTERS>& thrust) const;

  /// The thrust each thruster gives now (N).
  const std::array<double, THRUSTERS>& thrust() const { return thrust_; }
  /// What the thrusters did since construction.
  ThrusterUse use() const;

private:
  ThrusterVehicleConfig vehicle_;
  Eigen::Matrix<double, 4, THRUSTERS> layout_;
  Eigen::Matrix<double, THRUSTERS, 4> allocation_;
  double inertia_[4];
  double netWeight_;
  std::array<double, THRUSTERS> thrust_{}, lastSign_{}, absSum_{};
  double integral_[4] = { 0, 0, 0, 0 };
  std::int64_t steps_ = 0, saturated_ = 0, reversals_ = 0;
  double elapsed_ = 0;
};

// ---------------------------------------------------------------------------------------------------------------

namespace detail
{

// One rule on a real item of a model document.
struct RealRule
{
  const char* item;
  double value;
  bool kept;
  const char* rule;
};

// "<item> must <rule>, got <value>" for the first rule broken or value not finite; empty when none is.
template <std::size_t N>
std::string brokenReal(const RealRule (&rules)[N])
{
  for (const RealRule& r : rules)
  {
    if (!r.kept || !std::isfinite(r.value))
    {
      std::ostringstream got;
      got << r.value;
      return std::string(r.item) + " must " + r.rule + ", got " + got.str();
    }
  }
  return std::string();
}

inline bool fourFinite(const Eigen::VectorXd& v, bool (*rule)(double))
{
  return v.size() == 4 && std::all_of(v.data(), v.data() + 4, [rule](double x) { return std::isfinite(x) && rule(x); });
}

}  // namespace detail

inline std::string thrusterFault(const ThrusterVehicleConfig& vehicle)
{
  const auto positive = [](double x) { return x > 0; };
  const auto nonNegative = [](double x) { return x >= 0; };
  const detail::RealRule reals[] = {
    { "mass", vehicle.mass, positive(vehicle.mass), "be > 0 (kg)" },
    { "displaced_volume", vehicle.displacedVolume, nonNegative(vehicle.displacedVolume), "be >= 0 (m^3)" },
    { "water_density", vehicle.waterDensity, positive(vehicle.waterDensity), "be > 0 (kg/m^3)" },
    { "gravity", vehicle.gravity, positive(vehicle.gravity), "be > 0 (m/s^2)" },
    { "yaw_inertia", vehicle.yawInertia, positive(vehicle.yawInertia), "be > 0 (kg m^2)" },
    { "thruster_angle", vehicle.thrusterAngle, vehicle.thrusterAngle > 0 && vehicle.thrusterAngle < M_PI / 2,
      "be > 0 and < pi/2 (rad) so that the horizontal thrusters reach both surge and sway" },
    { "yaw_arm", vehicle.yawArm, positive(vehicle.yawArm), "be > 0 (m) so that the thrusters can turn the vehicle" },
    { "forward_thrust", vehicle.forwardThrust, positive(vehicle.forwardThrust),
      "be > 0 (N): a thruster must be able to push" },
    { "reverse_thrust", vehicle.reverseThrust, positive(vehicle.reverseThrust),
      "be > 0 (N): a thruster must be able to push back" },
    { "thruster_time_constant", vehicle.thrusterTimeConstant, nonNegative(vehicle.thrusterTimeConstant),
      "be >= 0 (s)" },
  };
  const std::string broken = detail::brokenReal(reals);
  if (!broken.empty())
  {
    return broken;
  }
  struct VectorRule
  {
    const char* item;
    const Eigen::VectorXd& value;
  };
  const VectorRule vectors[] = {
    { "added_mass", vehicle.addedMass },
    { "linear_damping", vehicle.linearDamping },
    { "quadratic_damping", vehicle.quadraticDamping },
    { "velocity_kp", vehicle.velocityKp },
    { "velocity_ki", vehicle.velocityKi },
  };
  for (const VectorRule& v : vectors)
  {
    if (!detail::fourFinite(v.value, [](double x) { return x >= 0; }))
    {
      std::ostringstream got;
      got << v.value.transpose();
      return std::string(v.item) + " must hold 4 finite numbers, each >= 0 (surge, sway, heave, yaw), got \"" +
             got.str() + "\"";
    }
  }
  return std::string();
}

inline ThrusterVehicleConfig scaledThrusterVehicle(const ThrusterVehicleConfig& vehicle, double scale)
{
  ThrusterVehicleConfig scaled = vehicle;
  scaled.mass *= scale;
  scaled.displacedVolume *= scale;
  scaled.yawInertia *= scale;
  scaled.addedMass *= scale;
  scaled.linearDamping *= scale;
  scaled.quadraticDamping *= scale;
  return scaled;
}

inline ThrusterUse averageUse(const std::vector<ThrusterUse>& runs)
{
  ThrusterUse mean;
  for (const ThrusterUse& run : runs)
  {
    for (int j = 0; j < THRUSTERS; ++j)
    {
      mean.meanThrust[j] += run.meanThrust[j] / static_cast<double>(runs.size());
    }
    mean.saturatedShare += run.saturatedShare / static_cast<double>(runs.size());
    mean.reversalsPerSecond += run.reversalsPerSecond / static_cast<double>(runs.size());
  }
  return mean;
}

inline ThrusterVehicle::ThrusterVehicle(const ThrusterVehicleConfig& vehicle) : vehicle_(vehicle)
{
  const double c = std::cos(vehicle.thrusterAngle), s = std::sin(vehicle.thrusterAngle), a = vehicle.yawArm;
  // Columns: the force and moment of one newton of each thruster. The horizontal ones are mounted alternately,
  // so that a pure surge, sway or yaw runs two of them forward and two in reverse; likewise the vertical ones.
  layout_ << c, c, -c, -c, 0, 0, 0, 0,  //
      -s, s, -s, s, 0, 0, 0, 0,         //
      0, 0, 0, 0, -1, 1, 1, -1,         //
      -a, a, a, -a, 0, 0, 0, 0;
  allocation_ = layout_.transpose() * (layout_ * layout_.transpose()).inverse();
  const double masses[4] = { vehicle.mass, vehicle.mass, vehicle.mass, vehicle.yawInertia };
  for (int i = 0; i < 4; ++i)
  {
    inertia_[i] = masses[i] + vehicle.addedMass[i];
  }
  netWeight_ = (vehicle.mass - vehicle.waterDensity * vehicle.displacedVolume) * vehicle.gravity;
}

inline std::array<double, 4> ThrusterVehicle::demand(const double (&v)[4], const double (&setPoint)[4]) const
{
  std::array<double, 4> force;
  for (int i = 0; i < 4; ++i)
  {
    const double u = setPoint[i];
    const double drag = vehicle_.linearDamping[i] * u + vehicle_.quadraticDamping[i] * u * std::abs(u);
    force[i] = drag + vehicle_.velocityKp[i] * (u - v[i]) + integral_[i];
  }
  return force;
}

inline std::array<double, THRUSTERS> ThrusterVehicle::allocate(const std::array<double, 4>& force, double& scale) const
{
  const Eigen::Matrix<double, THRUSTERS, 1> wanted = allocation_ * Eigen::Map<const Eigen::Vector4d>(force.data());
  scale = 1;
  for (int j = 0; j < THRUSTERS; ++j)
  {
    const double limit = wanted[j] >= 0 ? vehicle_.forwardThrust : vehicle_.reverseThrust;
    scale = std::min(scale, limit / std::max(std::abs(wanted[j]), 1e-300));
  }
  std::array<double, THRUSTERS> thrust;
  for (int j = 0; j < THRUSTERS; ++j)
  {
    thrust[j] = wanted[j] * scale;
  }
  return thrust;
}

inline std::array<double, 4> ThrusterVehicle::bodyForce(const std::array<double, THRUSTERS>& thrust) const
{
  std::array<double, 4> force;
  Eigen::Map<Eigen::Vector4d>(force.data()) =
      layout_ * Eigen::Map<const Eigen::Matrix<double, THRUSTERS, 1>>(thrust.data());
  return force;
}

inline void ThrusterVehicle::step(double (&v)[4], const double (&setPoint)[4], double dt)
{
  double scale = 1;
  const std::array<double, THRUSTERS> wanted = allocate(demand(v, setPoint), scale);
  // The integrals hold still while the thrusters are at their limit: no wind-up.
  if (scale >= 1)
  {
    for (int i = 0; i < 4; ++i)
    {
      integral_[i] += vehicle_.velocityKi[i] * (setPoint[i] - v[i]) * dt;
    }
  }
  const double keep = vehicle_.thrusterTimeConstant > 0 ? std::exp(-dt / vehicle_.thrusterTimeConstant) : 0.0;
  for (int j = 0; j < THRUSTERS; ++j)
  {
    thrust_[j] = wanted[j] + (thrust_[j] - wanted[j]) * keep;
    absSum_[j] += std::abs(thrust_[j]);
    if (wanted[j] != 0)
    {
      reversals_ += lastSign_[j] * wanted[j] < 0;
      lastSign_[j] = wanted[j];
    }
  }
  saturated_ += scale < 1;
  ++steps_;
  elapsed_ += dt;

  const std::array<double, 4> tau = bodyForce(thrust_);
  const double m11 = inertia_[0], m22 = inertia_[1];
  const double coriolis[4] = { -m22 * v[1] * v[3], m11 * v[0] * v[3], 0, (m22 - m11) * v[0] * v[1] };
  const double weight[4] = { 0, 0, netWeight_, 0 };
  double next[4];
  for (int i = 0; i < 4; ++i)
  {
    const double drag = vehicle_.linearDamping[i] * v[i] + vehicle_.quadraticDamping[i] * v[i] * std::abs(v[i]);
    next[i] = v[i] + (tau[i] - coriolis[i] - drag + weight[i]) / inertia_[i] * dt;
  }
  std::copy(next, next + 4, v);
}

inline ThrusterUse ThrusterVehicle::use() const
{
  ThrusterUse use;
  const double steps = static_cast<double>(std::max<std::int64_t>(steps_, 1));
  for (int j = 0; j < THRUSTERS; ++j)
  {
    use.meanThrust[j] = absSum_[j] / steps;
  }
  use.saturatedShare = static_cast<double>(saturated_) / steps;
  use.reversalsPerSecond = elapsed_ > 0 ? static_cast<double>(reversals_) / elapsed_ : 0;
  return use;
}

}  // namespace quarn::sim
