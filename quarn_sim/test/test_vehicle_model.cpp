#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include <quarn_sim/vehicle_model.h>

using vehicle_sim::Command;
using vehicle_sim::offsetInVehicleFrame;
using vehicle_sim::Pose;
using vehicle_sim::VehicleModel;

namespace
{

constexpr double TOLERANCE = 1e-12;
constexpr bool ON = true, OFF = false;

VehicleModel stillWater(const Pose& start)
{
  return VehicleModel(start, { 0, 0, 0 }, 0.0, 1);
}

Command allActive(double x, double y, double z, double yaw)
{
  return { { x, y, z, yaw }, { ON, ON, ON, ON } };
}

void expectPose(const Pose& expected, const Pose& actual)
{
  EXPECT_NEAR(expected.x, actual.x, TOLERANCE);
  EXPECT_NEAR(expected.y, actual.y, TOLERANCE);
  EXPECT_NEAR(expected.z, actual.z, TOLERANCE);
  EXPECT_NEAR(expected.yaw, actual.yaw, TOLERANCE);
}

}  // namespace

TEST(OffsetInVehicleFrame, IsAheadLeftAndAboveAsTheVehicleSeesIt)
{
  struct Case
  {
    Pose vehicle;
    double px, py, pz;
    double ahead, left, up;
  };
  const std::vector<Case> cases = {
    { { 0, 0, 0, 0 }, 1, 0, 0, 1, 0, 0 },         { { 0, 0, 0, 0 }, 0, 1, 0, 0, 1, 0 },
    { { 0, 0, 0, M_PI / 2 }, 0, 2, 0, 2, 0, 0 },   // facing +y: +y is ahead
    { { 0, 0, 0, M_PI / 2 }, -1, 0, 0, 0, 1, 0 },  // facing +y: -x is on the left
    { { 0, 0, 0, M_PI }, 1, 0, 0, -1, 0, 0 },      // facing -x: +x is behind
    { { 1, 2, 3, 0 }, 1.5, 1, 5, 0.5, -1, 2 },     // relative to the vehicle, not the origin
  };
  for (const auto& c : cases)
  {
    const auto offset = offsetInVehicleFrame(c.vehicle, c.px, c.py, c.pz);
    EXPECT_NEAR(c.ahead, offset.x, TOLERANCE) << "yaw " << c.vehicle.yaw;
    EXPECT_NEAR(c.left, offset.y, TOLERANCE) << "yaw " << c.vehicle.yaw;
    EXPECT_NEAR(c.up, offset.z, TOLERANCE) << "yaw " << c.vehicle.yaw;
  }
}

TEST(VehicleModel, TurnsBodyVelocityIntoTheWorldByTheHeading)
{
  struct Case
  {
    double yaw, ahead, left;
    double worldX, worldY;
  };
  const std::vector<Case> cases = {
    { 0, 1, 0, 1, 0 },
    { 0, 0, 1, 0, 1 },
    { M_PI / 2, 1, 0, 0, 1 },
    { M_PI / 2, 0, 1, -1, 0 },
    { M_PI, 0.5, 0.25, -0.5, -0.25 },
  };
  for (const auto& c : cases)
  {
    VehicleModel vehicle = stillWater({ 0, 0, 0, c.yaw });
    vehicle.command(allActive(c.ahead, c.left, 0, 0), 0.0);
    vehicle.step(0.25, 0.25);
    EXPECT_NEAR(0.25 * c.worldX, vehicle.pose().x, TOLERANCE) << "yaw " << c.yaw;
    EXPECT_NEAR(0.25 * c.worldY, vehicle.pose().y, TOLERANCE) << "yaw " << c.yaw;
  }
}

TEST(VehicleModel, IntegratesDepthRateAndYawRate)
{
  VehicleModel vehicle = stillWater({ 0, 0, 2, 0 });
  vehicle.command(allActive(0, 0, -0.5, 0.25), 0.0);
  vehicle.step(0.25, 0.25);
  vehicle.step(0.5, 0.25);
  expectPose({ 0, 0, 1.75, 0.125 }, vehicle.pose());
}

TEST(VehicleModel, AZeroFlagLeavesItsAxisAlone)
{
  for (int axis = 0; axis < 4; ++axis)
  {
    Command command = allActive(0.5, 0.5, 0.5, 0.5);
    command.active[axis] = OFF;
    VehicleModel vehicle = stillWater({ 0, 0, 0, 0 });
    vehicle.command(command, 0.0);
    vehicle.step(0.5, 0.5);
    const Pose& p = vehicle.pose();
    const double moved[] = { p.x, p.y, p.z, p.yaw };
    for (int other = 0; other < 4; ++other)
    {
      // Body x and y coincide with the world's while the heading stays 0 over the step.
      EXPECT_NEAR(other == axis ? 0.0 : 0.25, moved[other], TOLERANCE) << "flag " << axis << " off";
    }
  }
}

TEST(VehicleModel, TreatsASetPointOlderThanTheTimeoutAsZero)
{
  struct Case
  {
    double stepAt;
    double applied;
  };
  const std::vector<Case> cases = { { 0.25, 1 }, { VehicleModel::COMMAND_TIMEOUT, 1 }, { 0.5625, 0 }, { 10, 0 } };
  for (const auto& c : cases)
  {
    VehicleModel vehicle = stillWater({ 0, 0, 0, 0 });
    vehicle.command(allActive(1, 1, 1, 1), 0.0);
    vehicle.step(c.stepAt, 0.125);
    EXPECT_EQ(c.applied, vehicle.applied().x) << "step at " << c.stepAt;
    EXPECT_EQ(c.applied, vehicle.applied().yaw) << "step at " << c.stepAt;
    EXPECT_NEAR(0.125 * c.applied, vehicle.pose().z, TOLERANCE) << "step at " << c.stepAt;
  }
}

TEST(VehicleModel, StandsStillBeforeAnySetPoint)
{
  VehicleModel vehicle = stillWater({ 1, 2, 3, 0.5 });
  vehicle.step(0.0, 1.0);
  vehicle.step(1.0, 1.0);
  expectPose({ 1, 2, 3, 0.5 }, vehicle.pose());
}

TEST(VehicleModel, DriftsWithTheCurrentInTheWorldFrameWhateverTheHeading)
{
  VehicleModel vehicle({ 0, 0, 0, M_PI / 2 }, { 0.25, -0.5, 0.125 }, 0.0, 1);
  vehicle.command(allActive(0, 0, 0, 0), 0.0);
  vehicle.step(0.5, 2.0);
  expectPose({ 0.5, -1, 0.25, M_PI / 2 }, vehicle.pose());
}

TEST(VehicleModel, AddsTheCurrentToTheCommandedVelocity)
{
  VehicleModel vehicle({ 0, 0, 0, 0 }, { 0.25, 0, 0 }, 0.0, 1);
  vehicle.command(allActive(-0.25, 0, 0, 0), 0.0);
  vehicle.step(0.5, 0.5);
  expectPose({ 0, 0, 0, 0 }, vehicle.pose());
}

TEST(VehicleModel, WrapsTheHeadingIntoHalfATurnEitherWay)
{
  VehicleModel vehicle = stillWater({ 0, 0, 0, 3.0 });
  vehicle.command(allActive(0, 0, 0, 1), 0.0);
  vehicle.step(0.5, 0.5);
  EXPECT_NEAR(3.5 - 2 * M_PI, vehicle.pose().yaw, TOLERANCE);
}

TEST(VehicleModel, NoiseHasTheConfiguredSpreadAndRepeatsWithTheSeed)
{
  constexpr double SIGMA = 0.5;
  constexpr int STEPS = 4000;
  constexpr double SPREAD_TOLERANCE = 0.05 * SIGMA;  // about four standard errors of the sample deviation
  VehicleModel first({ 0, 0, 0, 0 }, { 0, 0, 0 }, SIGMA, 7), same({ 0, 0, 0, 0 }, { 0, 0, 0 }, SIGMA, 7);
  VehicleModel other({ 0, 0, 0, 0 }, { 0, 0, 0 }, SIGMA, 8);
  double sum = 0, sumSquares = 0;
  for (int i = 0; i < STEPS; ++i)
  {
    const double before = first.pose().z;
    first.step(i, 1.0);
    same.step(i, 1.0);
    other.step(i, 1.0);
    const double dz = first.pose().z - before;
    sum += dz;
    sumSquares += dz * dz;
  }
  const double mean = sum / STEPS;
  EXPECT_NEAR(SIGMA, std::sqrt(sumSquares / STEPS - mean * mean), SPREAD_TOLERANCE);
  EXPECT_NEAR(0.0, mean, SPREAD_TOLERANCE);
  EXPECT_EQ(first.pose().x, same.pose().x);
  EXPECT_EQ(first.pose().z, same.pose().z);
  EXPECT_NE(first.pose().z, other.pose().z);
}
