#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quarn_sim/vehicle_model.h>

using quarn::sim::Command;
using quarn::sim::idealVehicle;
using quarn::sim::loadVehicleModel;
using quarn::sim::offsetInVehicleFrame;
using quarn::sim::Pose;
using quarn::sim::VehicleModel;
using quarn::sim::VehicleModelConfig;
using quarn::sim::Velocity;

namespace
{

constexpr double TOLERANCE = 1e-9;
constexpr double STEP = VehicleModel::STEP;
constexpr bool ON = true, OFF = false;

VehicleModel stillWater(const Pose& start)
{
  return VehicleModel(idealVehicle(), start, 1);
}

Command allActive(double x, double y, double z, double yaw)
{
  return { { x, y, z, yaw }, { ON, ON, ON, ON } };
}

double component(const Velocity& v, int axis)
{
  const double all[] = { v.x, v.y, v.z, v.yaw };
  return all[axis];
}

void expectPose(const Pose& expected, const Pose& actual)
{
  EXPECT_NEAR(expected.x, actual.x, TOLERANCE);
  EXPECT_NEAR(expected.y, actual.y, TOLERANCE);
  EXPECT_NEAR(expected.z, actual.z, TOLERANCE);
  EXPECT_NEAR(expected.yaw, actual.yaw, TOLERANCE);
}

// Sends command every 0.1 s (so it never goes stale) from `from` up to `to`, advancing the vehicle.
void hold(VehicleModel& vehicle, const Command& command, double from, double to)
{
  for (double t = from; t < to - 1e-9; t += 0.1)
  {
    vehicle.advance(t);
    vehicle.command(command, t);
  }
  vehicle.advance(to);
}

std::string readDefaultModel()
{
  std::ifstream in(QUARN_SIM_SOURCE_DIR "/config/vehicle_default.xml");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
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

// The ideal vehicle: kinematics, flags, staleness and current as vehicle_sim had them before the model document.
TEST(IdealVehicle, TurnsBodyVelocityIntoTheWorldByTheHeading)
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
    vehicle.advance(0.25);
    EXPECT_NEAR(0.25 * c.worldX, vehicle.pose().x, TOLERANCE) << "yaw " << c.yaw;
    EXPECT_NEAR(0.25 * c.worldY, vehicle.pose().y, TOLERANCE) << "yaw " << c.yaw;
  }
}

TEST(IdealVehicle, IntegratesDepthAndYawRatesAndWrapsTheHeading)
{
  VehicleModel vehicle = stillWater({ 0, 0, 2, 3.0 });
  hold(vehicle, allActive(0, 0, -0.5, 1), 0.0, 0.5);
  expectPose({ 0, 0, 1.75, 3.5 - 2 * M_PI }, vehicle.pose());
}

TEST(IdealVehicle, DriftsWithTheCurrentInTheWorldFrameAddedToTheCommand)
{
  VehicleModelConfig model = idealVehicle();
  model.current = Eigen::Vector3d(0.25, -0.5, 0.125);
  VehicleModel vehicle(model, { 0, 0, 0, M_PI / 2 }, 1);
  vehicle.command(allActive(0.5, 0, 0, 0), 0.0);  // ahead is +y
  vehicle.advance(0.5);
  expectPose({ 0.125, 0, 0.0625, M_PI / 2 }, vehicle.pose());
  vehicle.advance(2.5);  // the set-point goes stale after 0.5 s (its last step starts at 0.5 s): the current alone
  expectPose({ 0.625, -1.25 + 0.5 * (0.5 + STEP), 0.3125, M_PI / 2 }, vehicle.pose());
}

TEST(IdealVehicle, StandsStillBeforeAnySetPoint)
{
  VehicleModel vehicle = stillWater({ 1, 2, 3, 0.5 });
  vehicle.advance(2.0);
  expectPose({ 1, 2, 3, 0.5 }, vehicle.pose());
}

TEST(VehicleModel, ReachesSixtyThreePercentOfAStepAtDelayPlusTimeConstant)
{
  VehicleModelConfig model = idealVehicle();
  model.timeConstant = Eigen::Vector4d(0.6, 0.6, 0.4, 0.3);
  model.delay = 0.1;
  constexpr double START = 1.0, SET_POINT = 0.5;
  for (int axis = 0; axis < 4; ++axis)
  {
    VehicleModel vehicle(model, { 0, 0, 0, 0 }, 1);
    Command command = allActive(0, 0, 0, 0);
    command.velocity = { axis == 0 ? SET_POINT : 0, axis == 1 ? SET_POINT : 0, axis == 2 ? SET_POINT : 0,
                         axis == 3 ? SET_POINT : 0 };
    hold(vehicle, allActive(0, 0, 0, 0), 0.0, START);
    hold(vehicle, command, START, START + model.delay);
    EXPECT_EQ(0.0, component(vehicle.velocity(), axis)) << "axis " << axis << ": moved before the delay";
    hold(vehicle, command, START + model.delay, START + model.delay + model.timeConstant[axis]);
    EXPECT_NEAR((1 - std::exp(-1.0)) * SET_POINT, component(vehicle.velocity(), axis), 0.005) << "axis " << axis;
    hold(vehicle, command, START + model.delay + model.timeConstant[axis], 10.0);
    EXPECT_NEAR(SET_POINT, component(vehicle.velocity(), axis), 1e-6) << "axis " << axis;
    EXPECT_EQ(SET_POINT, component(vehicle.inForce(), axis)) << "axis " << axis;
  }
}

TEST(VehicleModel, ClampsEachSetPointComponentToItsMaximum)
{
  VehicleModelConfig model = idealVehicle();
  model.maxVelocity = Eigen::Vector4d(1.0, 0.8, 0.6, 0.4);
  for (double sign : { 1.0, -1.0 })
  {
    VehicleModel vehicle(model, { 0, 0, 5, 0 }, 1);
    vehicle.command(allActive(2 * sign, 2 * sign, 2 * sign, 0.3 * sign), 0.0);
    vehicle.advance(0.1);
    const Velocity& u = vehicle.inForce();
    EXPECT_EQ(1.0 * sign, u.x);
    EXPECT_EQ(0.8 * sign, u.y);
    EXPECT_EQ(0.6 * sign, u.z);
    EXPECT_EQ(0.3 * sign, u.yaw) << "within the limit: unchanged";
    EXPECT_NEAR(5 + 0.06 * sign, vehicle.pose().z, TOLERANCE);
  }
}

TEST(VehicleModel, InactiveAndStaleComponentsAreZero)
{
  VehicleModelConfig model = idealVehicle();
  model.delay = 0.2;
  for (int axis = 0; axis < 4; ++axis)
  {
    Command command = allActive(0.5, 0.5, 0.5, 0.5);
    command.active[axis] = OFF;
    VehicleModel vehicle(model, { 0, 0, 0, 0 }, 1);
    vehicle.command(command, 1.0);
    vehicle.advance(1.0 + model.delay);
    EXPECT_EQ(0.0, vehicle.inForce().x) << "in force only after the delay";
    vehicle.advance(1.5);
    for (int other = 0; other < 4; ++other)
    {
      EXPECT_EQ(other == axis ? 0.0 : 0.5, component(vehicle.inForce(), other)) << "flag " << axis << " off";
    }
    // Received at 1 s and in force from 1.2 s, it goes stale once older than the timeout there: after 1.7 s.
    vehicle.advance(1.0 + model.delay + VehicleModel::COMMAND_TIMEOUT);
    EXPECT_EQ(axis == 3 ? 0.0 : 0.5, vehicle.inForce().yaw) << "still fresh, flag " << axis << " off";
    vehicle.advance(1.0 + model.delay + VehicleModel::COMMAND_TIMEOUT + 2 * STEP);
    for (int other = 0; other < 4; ++other)
    {
      EXPECT_EQ(0.0, component(vehicle.inForce(), other)) << "stale, axis " << other;
    }
  }
}

TEST(VehicleModel, PublishesThePoseOfLatencyAgoStampedWithItsTimeAndNoisedAsConfigured)
{
  VehicleModelConfig model = idealVehicle();
  model.navLatency = 0.1;
  model.navNoise = Eigen::Vector3d(0.03, 0.01, 0.02);
  VehicleModelConfig exact = model;
  exact.navNoise.setZero();
  VehicleModel vehicle(model, { 0, 0, 2, 0 }, 3), noiseless(exact, { 0, 0, 2, 0 }, 3);

  const quarn::sim::NavigationSample first = noiseless.navigationAt(0.05);
  EXPECT_NEAR(-0.05, first.stamp, TOLERANCE) << "before the start: the start pose, stamped with its time";
  expectPose({ 0, 0, 2, 0 }, first.pose);

  constexpr int SAMPLES = 4000;
  double sums[4] = {}, squares[4] = {};
  for (int k = 1; k <= SAMPLES; ++k)
  {
    const double t = 0.1 * k;
    for (VehicleModel* v : { &vehicle, &noiseless })
    {
      v->command(allActive(1, 0, 0, 0), t - 0.1);
      v->advance(t);
    }
    const quarn::sim::NavigationSample measured = vehicle.navigationAt(t), truth = noiseless.navigationAt(t);
    ASSERT_NEAR(t - model.navLatency, truth.stamp, TOLERANCE);
    // At 1 m/s ahead from x = 0 at t = 0: the pose of t - 0.1.
    ASSERT_NEAR(t - model.navLatency, truth.pose.x, 1e-6);
    EXPECT_EQ(k == 1 ? 0.0 : 1.0, truth.velocity.x) << "the velocity of that pose";
    const double errors[] = { measured.pose.x - truth.pose.x, measured.pose.y - truth.pose.y,
                              measured.pose.z - truth.pose.z, measured.pose.yaw - truth.pose.yaw };
    for (int i = 0; i < 4; ++i)
    {
      sums[i] += errors[i];
      squares[i] += errors[i] * errors[i];
    }
  }
  const double sigmas[] = { 0.03, 0.03, 0.01, 0.02 };
  for (int i = 0; i < 4; ++i)
  {
    EXPECT_NEAR(0.0, sums[i] / SAMPLES, 0.1 * sigmas[i]) << "entry " << i;
    EXPECT_NEAR(sigmas[i], std::sqrt(squares[i] / SAMPLES), 0.05 * sigmas[i]) << "entry " << i;
  }
  expectPose(noiseless.pose(), vehicle.pose());  // noise on the measurement only, never on the motion
}

TEST(VehicleModel, GustsHaveTheConfiguredSpreadAndCorrelationAndRepeatWithTheSeed)
{
  VehicleModelConfig model = idealVehicle();
  model.current = Eigen::Vector3d(0.2, -0.2, 0);
  model.gust = Eigen::Vector2d(0.05, 5.0);
  VehicleModel vehicle(model, { 0, 0, 0, 0 }, 7);
  // Sampled every second over 400 correlation times; the drift over one step is current plus gust.
  constexpr int SAMPLES = 2000;
  std::vector<double> gusts;
  for (int k = 1; k <= SAMPLES; ++k)
  {
    vehicle.advance(k - STEP);
    const double before = vehicle.pose().x;
    vehicle.advance(k);
    gusts.push_back((vehicle.pose().x - before) / STEP - model.current[0]);
  }
  double mean = 0, square = 0, lagged = 0;
  for (int k = 0; k < SAMPLES; ++k)
  {
    mean += gusts[k] / SAMPLES;
    square += gusts[k] * gusts[k] / SAMPLES;
    lagged += k >= 5 ? gusts[k] * gusts[k - 5] / (SAMPLES - 5) : 0;
  }
  EXPECT_NEAR(0.0, mean, 0.01);
  EXPECT_NEAR(0.05, std::sqrt(square), 0.008);
  EXPECT_NEAR(std::exp(-1.0), lagged / square, 0.15) << "correlation after one correlation time";

  VehicleModel first(model, { 0, 0, 0, 0 }, 7), same(model, { 0, 0, 0, 0 }, 7), other(model, { 0, 0, 0, 0 }, 8);
  for (VehicleModel* v : { &first, &same, &other })
  {
    v->advance(100);
  }
  EXPECT_EQ(first.pose().x, same.pose().x);
  EXPECT_EQ(first.pose().y, same.pose().y);
  EXPECT_NE(first.pose().x, other.pose().x);
}

TEST(VehicleModelDocument, LoadsTheDefaultVehicle)
{
  const VehicleModelConfig model = loadVehicleModel(readDefaultModel());
  EXPECT_EQ(Eigen::Vector4d(0.6, 0.6, 0.4, 0.3), Eigen::Vector4d(model.timeConstant));
  EXPECT_EQ(0.1, model.delay);
  EXPECT_EQ(Eigen::Vector4d(1.0, 1.0, 0.6, 1.0), Eigen::Vector4d(model.maxVelocity));
  EXPECT_EQ(Eigen::Vector3d(0.2, -0.2, 0), Eigen::Vector3d(model.current));
  EXPECT_EQ(Eigen::Vector2d(0.05, 5), Eigen::Vector2d(model.gust));
  EXPECT_EQ(10.0, model.navRate);
  EXPECT_EQ(0.1, model.navLatency);
  EXPECT_EQ(Eigen::Vector3d(0.03, 0.01, 0.01), Eigen::Vector3d(model.navNoise));
}

TEST(VehicleModelDocument, RefusesABrokenRuleNamingTheItemAndTheRule)
{
  const std::string base = readDefaultModel();
  struct Case
  {
    std::string item, value, message;
  };
  const std::vector<Case> cases = {
    { "time_constant", "0.6 0.6 0.4", "time_constant must hold 4 finite numbers, each >= 0" },
    { "time_constant", "0.6 -0.6 0.4 0.3", "time_constant must hold 4 finite numbers, each >= 0" },
    { "delay", "-0.1", "delay must be finite and >= 0 (s), got -0.1" },
    { "delay", "nan", "Path: vehicle_model/delay" },  // the document itself refuses non-finite numbers
    { "max_velocity", "1 1 0 1", "max_velocity must hold 4 finite numbers, each > 0" },
    { "current", "0.2 inf 0", "Path: vehicle_model/current" },
    { "gust", "0.05 0", "gust must hold 2 finite numbers: sigma >= 0 (m/s) and correlation time > 0" },
    { "gust", "-0.05 5", "gust must hold 2 finite numbers" },
    { "nav_rate", "0", "nav_rate must be > 0 and <= 1000 (Hz), got 0" },
    { "nav_rate", "1001", "nav_rate must be > 0 and <= 1000 (Hz), got 1001" },
    { "nav_latency", "-1", "nav_latency must be finite and >= 0" },
    { "nav_noise", "0.03 0.01 -0.01", "nav_noise must hold 3 finite numbers, each >= 0" },
  };
  for (const Case& c : cases)
  {
    std::string text = base;
    const std::string marker = "<" + c.item + " type=";
    const std::size_t at = text.find("value=\"", text.find(marker)) + 7;
    text.replace(at, text.find('"', at) - at, c.value);
    try
    {
      loadVehicleModel(text);
      ADD_FAILURE() << c.item << " = " << c.value << " was accepted";
    }
    catch (const std::runtime_error& e)
    {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(c.message)) << e.what();
    }
  }
  // A missing item is named by the mapper.
  std::string missing = base;
  const std::size_t at = missing.find("<nav_rate");
  missing.erase(at, missing.find("/>", at) + 2 - at);
  EXPECT_THROW(
      try { loadVehicleModel(missing); } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("nav_rate")) << e.what();
        throw;
      },
      std::runtime_error);
}

TEST(VehicleModelDocument, TheIdealVehicleIsAValidDocumentThatWritesAndReadsBack)
{
  quarn::xml::XmlParamMapper<VehicleModelConfig> mapper("vehicle_model");
  quarn::sim::mapItems(mapper);
  mapper.data() = idealVehicle();
  EXPECT_EQ("", quarn::sim::modelFault(mapper.data()));
  const VehicleModelConfig read = loadVehicleModel(mapper.getXmlString());
  EXPECT_EQ(idealVehicle().maxVelocity, read.maxVelocity);
  EXPECT_EQ(20.0, read.navRate);

  // A record filled in code is checked too: the model indexes its vectors on every step.
  VehicleModelConfig shortLags = idealVehicle();
  shortLags.timeConstant = Eigen::Vector3d(0, 0, 0);
  EXPECT_THROW(VehicleModel(shortLags, {}, 1), std::invalid_argument);
}
