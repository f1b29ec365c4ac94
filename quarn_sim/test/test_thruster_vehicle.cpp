#include <array>
#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <quarn_sim/vehicle_model.h>

using quarn::sim::Command;
using quarn::sim::ThrusterVehicle;
using quarn::sim::ThrusterVehicleConfig;
using quarn::sim::VehicleModel;
using quarn::sim::VehicleModelConfig;

namespace
{

constexpr double VELOCITY_TOLERANCE = 1e-3;  // m/s or rad/s, after the vehicle has settled
constexpr double FORCE_TOLERANCE = 1e-9;     // N

std::string heavyRovText()
{
  std::ifstream in(QUARN_SIM_SOURCE_DIR "/config/vehicle_heavy_rov.xml");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The published vehicle in still water with exact navigation.
VehicleModelConfig stillWater()
{
  VehicleModelConfig model = quarn::sim::loadVehicleModel(heavyRovText());
  model.current.setZero();
  model.gust[0] = 0;
  return model;
}

double component(const quarn::sim::Velocity& v, int axis)
{
  const double all[] = { v.x, v.y, v.z, v.yaw };
  return all[axis];
}

// Holds setPoint on axis (the others at 0) for seconds, commanding every 0.1 s, and returns that axis's velocity.
double velocityAfter(const VehicleModelConfig& model, int axis, double setPoint, double seconds)
{
  VehicleModel vehicle(model, {}, 1);
  Command command;
  command.active = { true, true, true, true };
  double components[4] = { 0, 0, 0, 0 };
  components[axis] = setPoint;
  command.velocity = { components[0], components[1], components[2], components[3] };
  for (int k = 0; k * 0.1 <= seconds + 1e-9; ++k)
  {
    vehicle.advance(k * 0.1);
    vehicle.command(command, k * 0.1);
  }
  return component(vehicle.velocity(), axis);
}

// The positive root of linear * v + quadratic * v^2 = force.
double terminalVelocity(double linear, double quadratic, double force)
{
  return (-linear + std::sqrt(linear * linear + 4 * quadratic * force)) / (2 * quadratic);
}

}  // namespace

TEST(ThrusterVehicle, BeyondItsReachEachAxisEndsWhereTheWeakerReverseThrustEqualsTheDrag)
{
  const VehicleModelConfig model = stillWater();
  const ThrusterVehicleConfig& v = model.thrusters;
  // Every axis runs half its thrusters in reverse, and the demand is scaled as a whole: four thrusters at the
  // reverse limit, along the axis by the layout.
  const double push = 4 * v.reverseThrust;
  const double netWeight = (v.mass - v.waterDensity * v.displacedVolume) * v.gravity;
  const double along[4] = { std::cos(v.thrusterAngle), std::sin(v.thrusterAngle), 1, v.yawArm };
  for (int axis = 0; axis < 4; ++axis)
  {
    SCOPED_TRACE("axis " + std::to_string(axis));
    for (double sign : { 1.0, -1.0 })
    {
      const double weight = axis == 2 ? sign * netWeight : 0;  // the net weight helps down (+z), hinders up
      const double expected =
          sign * terminalVelocity(v.linearDamping[axis], v.quadraticDamping[axis], push * along[axis] + weight);
      EXPECT_NEAR(expected, velocityAfter(model, axis, 20 * sign, 20), VELOCITY_TOLERANCE);
    }
  }
}

TEST(ThrusterVehicle, FollowsAHalfMetrePerSecondStepWithinASecond)
{
  const VehicleModelConfig model = stillWater();
  for (int axis = 0; axis < 4; ++axis)
  {
    SCOPED_TRACE("axis " + std::to_string(axis));
    EXPECT_NEAR(0.5, velocityAfter(model, axis, 0.5, 1.0), 0.05);
  }
}

TEST(ThrusterVehicle, AnOverLimitDemandIsScaledAsAWholeAtTheReverseLimit)
{
  const ThrusterVehicle vehicle(stillWater().thrusters);
  struct Case
  {
    std::array<double, 4> force;  // N, N, N, N m
    double scale;                 // expected: reverse limit over the largest thrust in reverse, or 1
  };
  // Surge F needs F / (4 cos 45deg) of each horizontal thruster, two of them in reverse; heave H needs H / 4 of each
  // vertical one. The surge at which a thruster needs 27 N is within the forward limit but not the reverse one.
  const double c = std::cos(0.785398);
  const Case cases[] = {
    { { 4 * c * 20, 0, 0, 0 }, 1.0 },
    { { 4 * c * 27, 0, 0, 0 }, 24.0 / 27 },
    { { 0, 0, -4 * 48, 0 }, 0.5 },
    { { 4 * c * 12, 0, 4 * 60, 0 }, 0.4 },
  };
  for (const Case& test : cases)
  {
    SCOPED_TRACE("surge " + std::to_string(test.force[0]) + " N, heave " + std::to_string(test.force[2]) + " N");
    double scale = 0;
    const auto thrust = vehicle.allocate(test.force, scale);
    EXPECT_NEAR(test.scale, scale, 1e-6);
    const auto force = vehicle.bodyForce(thrust);
    for (int i = 0; i < 4; ++i)
    {
      EXPECT_NEAR(test.force[i] * scale, force[i], FORCE_TOLERANCE) << "axis " << i;
    }
    for (double t : thrust)
    {
      EXPECT_LE(t, 30 + FORCE_TOLERANCE);
      EXPECT_GE(t, -24 - FORCE_TOLERANCE);
    }
  }
}

TEST(ThrusterVehicle, WithoutItsControllerSinksAtTheVelocityWhereDragCarriesTheNetWeight)
{
  VehicleModelConfig model = stillWater();
  model.thrusters.velocityKp.setZero();
  model.thrusters.velocityKi.setZero();
  const ThrusterVehicleConfig& v = model.thrusters;
  const double netWeight = (v.mass - v.waterDensity * v.displacedVolume) * v.gravity;
  ASSERT_GT(netWeight, 0);
  EXPECT_NEAR(terminalVelocity(v.linearDamping[2], v.quadraticDamping[2], netWeight), velocityAfter(model, 2, 0, 20),
              1e-6);
}

TEST(ThrusterVehicle, UnderAZeroSetPointItsControllerStopsTheSinking)
{
  VehicleModel vehicle(stillWater(), { 0, 0, 2, 0 }, 1);
  Command zero;
  zero.active = { true, true, true, true };
  for (int k = 0; k <= 200; ++k)
  {
    vehicle.advance(k * 0.1);
    vehicle.command(zero, k * 0.1);
  }
  EXPECT_GT(vehicle.pose().z, 2.0);  // it did drift down first
  EXPECT_LT(vehicle.pose().z, 2.05);
  EXPECT_NEAR(0, vehicle.velocity().z, 1e-4);
}

TEST(ThrusterVehicleDocument, LoadsThePublishedVehicleAndADocumentWithoutKindIsFirstOrder)
{
  const VehicleModelConfig model = quarn::sim::loadVehicleModel(heavyRovText());
  EXPECT_TRUE(model.thrusterDriven());
  EXPECT_EQ(13.5, model.thrusters.mass);
  EXPECT_EQ(217.0, model.thrusters.quadraticDamping[1]);
  EXPECT_EQ(24.0, model.thrusters.reverseThrust);
  EXPECT_EQ(10.0, model.navRate);

  std::ifstream in(QUARN_SIM_SOURCE_DIR "/config/vehicle_default.xml");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(quarn::sim::FIRST_ORDER_KIND, quarn::sim::loadVehicleModel(text.str()).kind);
}

TEST(ThrusterVehicleDocument, RefusesABrokenRuleNamingTheItemAndTheRule)
{
  struct Case
  {
    std::string item, value, message;
  };
  const Case cases[] = {
    { "kind", "wheels", "kind must be \"first_order\" or \"thrusters\", got \"wheels\"" },
    { "mass", "0", "mass must be > 0 (kg), got 0" },
    { "yaw_inertia", "-1", "yaw_inertia must be > 0 (kg m^2), got -1" },
    { "forward_thrust", "0", "forward_thrust must be > 0 (N): a thruster must be able to push, got 0" },
    { "reverse_thrust", "-24", "reverse_thrust must be > 0 (N): a thruster must be able to push back, got -24" },
    { "thruster_angle", "1.5708", "thruster_angle must be > 0 and < pi/2 (rad)" },
    { "yaw_arm", "0", "yaw_arm must be > 0 (m)" },
    { "thruster_time_constant", "-0.1", "thruster_time_constant must be >= 0 (s), got -0.1" },
    { "added_mass", "6.36 7.12 18.68", "added_mass must hold 4 finite numbers, each >= 0" },
    { "velocity_ki", "1 1 -1 1", "velocity_ki must hold 4 finite numbers, each >= 0" },
    { "nav_rate", "0", "nav_rate must be > 0 and <= 1000 (Hz), got 0" },
  };
  for (const Case& test : cases)
  {
    SCOPED_TRACE(test.item + " = " + test.value);
    const std::string original = heavyRovText();
    std::smatch value;
    ASSERT_TRUE(std::regex_search(original, value, std::regex("<" + test.item + " type=\"[a-z]+\" value=\"([^\"]*)")));
    const std::string text = value.prefix().str() + value.str(0).substr(0, value.position(1) - value.position(0)) +
                             test.value + value.suffix().str();
    try
    {
      quarn::sim::loadVehicleModel(text);
      ADD_FAILURE() << "accepted";
    }
    catch (const std::runtime_error& e)
    {
      EXPECT_EQ(0u, std::string(e.what()).find(test.message)) << e.what();
    }
  }
}

TEST(ThrusterVehicleDocument, AMissingItemIsNamed)
{
  const std::string text = std::regex_replace(heavyRovText(), std::regex("<reverse_thrust [^>]*>"), "");
  try
  {
    quarn::sim::loadVehicleModel(text);
    ADD_FAILURE() << "accepted";
  }
  catch (const std::runtime_error& e)
  {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("reverse_thrust")) << e.what();
  }
}
