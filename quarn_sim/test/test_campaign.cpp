#include <cmath>
#include <set>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <quarn_sim/campaign.h>

using quarn::dev::DeviceConfig;
using quarn::sim::CampaignOptions;
using quarn::sim::RunResult;
using quarn::sim::Scenario;
using quarn::sim::VehicleModelConfig;

namespace
{

// Holds (1, 2, 3, 0.5) with the same x and y gains; depth and heading proportional only.
DeviceConfig holding(const Eigen::Vector3d& xyGains)
{
  DeviceConfig config;
  config.mode = 1;
  config.desiredPose = (Eigen::VectorXd(6) << 1, 2, 3, 0, 0, 0.5).finished();
  config.pidConfigX = config.pidConfigY = xyGains;
  config.pidConfigZ = Eigen::Vector3d(1, 0, 0);
  config.pidConfigYaw = Eigen::Vector3d(1, 0, 0);
  return config;
}

VehicleModelConfig inCurrent(double currentX)
{
  VehicleModelConfig model = quarn::sim::idealVehicle();
  model.navRate = 10;
  model.current = Eigen::Vector3d(currentX, 0, 0);
  return model;
}

RunResult run(const DeviceConfig& config, const VehicleModelConfig& model, const Scenario& scenario,
              std::vector<quarn::sim::TracePoint>* trace = nullptr)
{
  return quarn::sim::runScenario(config, model, scenario, 40.0, trace);
}

}  // namespace

TEST(StandardScenarios, CoverEveryConditionOnceWithItsOwnSeed)
{
  std::set<std::tuple<long, long, double, double, bool>> conditions;
  std::set<unsigned> seeds;
  for (int i = 0; i < quarn::sim::STANDARD_CONDITIONS; ++i)
  {
    const Scenario s = quarn::sim::standardScenario(i, 10);
    const double radius = std::hypot(s.dx, s.dy);
    EXPECT_TRUE(std::abs(radius - 1) < 1e-12 || std::abs(radius - 3) < 1e-12) << "run " << i;
    EXPECT_EQ(1.0, std::abs(s.dz)) << "run " << i;
    EXPECT_TRUE(std::abs(s.dyaw) == 1 || std::abs(s.dyaw) == 3) << "run " << i;
    conditions.insert({ std::lround(s.dx * 1000), std::lround(s.dy * 1000), s.dz, s.dyaw, s.current });
    seeds.insert(s.seed);
  }
  EXPECT_EQ(256u, conditions.size());
  EXPECT_EQ(256u, seeds.size());
  EXPECT_EQ(10u, *seeds.begin());
  // Past the standard set the conditions repeat with new seeds.
  EXPECT_EQ(quarn::sim::standardScenario(3, 10).dx, quarn::sim::standardScenario(259, 10).dx);
  EXPECT_EQ(269u, quarn::sim::standardScenario(259, 10).seed);
}

TEST(CampaignRun, SettlesWithIntegralActionAndStaysOffByCurrentOverGainWithout)
{
  const Scenario start{ 0, 3, -3, 1, 1, true, 1 };
  const RunResult held = run(holding({ 1, 0.2, 0 }), inCurrent(0.2), start);
  EXPECT_TRUE(held.settled);
  EXPECT_GT(held.settlingTime, 3.0) << "3 m away at 1 m/s at most";
  EXPECT_LT(held.settlingTime, 35.0);
  EXPECT_LT(held.rms[0], quarn::sim::POSITION_TOLERANCE);

  // Proportional only: the vehicle rests where the command (in tenths) balances the current, 0.2 m off.
  const RunResult off = run(holding({ 1, 0, 0 }), inCurrent(0.2), start);
  EXPECT_FALSE(off.settled);
  EXPECT_TRUE(std::isnan(off.settlingTime));
  EXPECT_NEAR(0.2, off.finalError[0], 0.06);
  EXPECT_NEAR(0.2, off.rms[0], 0.06);
  EXPECT_NEAR(0.0, off.finalError[1], 0.06);
  EXPECT_EQ(1.0, off.largestCommand[0]) << "3 m off with gain 1: saturated";

  // Without the current the same gains settle.
  EXPECT_TRUE(run(holding({ 1, 0, 0 }), inCurrent(0.2), { 0, 3, -3, 1, 1, false, 1 }).settled);
}

TEST(CampaignRun, FollowsTheNodesSignsOnEveryAxisAndTracesEachNavigationStep)
{
  std::vector<quarn::sim::TracePoint> trace;
  const RunResult r = run(holding({ 1, 0, 0 }), inCurrent(0), { 0, 2, -2, 1, -1, false, 1 }, &trace);
  ASSERT_EQ(401u, trace.size()) << "40 s at 10 Hz, both ends";
  EXPECT_DOUBLE_EQ(0.1, trace[1].t);
  // First step at the start pose, heading 0.5 - 1 rad: target behind-left in x, ahead in y, above, heading up.
  EXPECT_EQ(2.0, trace[0].error[0]);
  EXPECT_EQ(-1.0, trace[0].command[2]) << "1 m too deep: rise at the limit";
  EXPECT_EQ(1.0, trace[0].command[3]) << "heading 1 rad short: turn left at the limit";
  EXPECT_TRUE(r.settled);
  EXPECT_EQ(0.0, r.reversalsPerSecond) << "an ideal vehicle is brought in without overshoot";
}

TEST(Campaign, GivesTheSameRunsOnAnyNumberOfThreadsAndSummarisesThem)
{
  CampaignOptions options;
  options.runs = 6;
  options.duration = 20;
  VehicleModelConfig model = inCurrent(0.2);
  model.navNoise = Eigen::Vector3d(0.02, 0.01, 0.01);
  model.gust = Eigen::Vector2d(0.05, 5);
  options.threads = 1;
  const std::vector<RunResult> one = quarn::sim::runCampaign(holding({ 1, 0.2, 0 }), model, options);
  options.threads = 3;
  const std::vector<RunResult> three = quarn::sim::runCampaign(holding({ 1, 0.2, 0 }), model, options);
  ASSERT_EQ(6u, three.size());
  for (int i = 0; i < 6; ++i)
  {
    EXPECT_EQ(one[i].rms, three[i].rms) << "run " << i;
    EXPECT_EQ(quarn::sim::standardScenario(i, 1).seed, three[i].scenario.seed);
  }
  options.first = 4;
  options.runs = 2;
  const std::vector<RunResult> later = quarn::sim::runCampaign(holding({ 1, 0.2, 0 }), model, options);
  for (int i = 0; i < 2; ++i)
  {
    EXPECT_EQ(4 + i, later[i].scenario.run);
    EXPECT_EQ(one[4 + i].rms, later[i].rms) << "run " << 4 + i << " alone";
  }

  std::vector<RunResult> runs(10);
  for (int i = 0; i < 10; ++i)
  {
    runs[i].settled = i < 6;
    runs[i].settlingTime = runs[i].settled ? 10.0 - i : NAN;
    runs[i].rms = { 0.01 * i, 0, 0, 0 };
  }
  const quarn::sim::Summary s = quarn::sim::summarise(runs);
  EXPECT_EQ(10, s.runs);
  EXPECT_EQ(6, s.settled);
  ASSERT_TRUE(s.settlingP50);
  EXPECT_EQ(9.0, *s.settlingP50) << "fifth fastest of ten: 5, 6, 7, 8, 9";
  EXPECT_FALSE(s.settlingP95) << "95% of ten runs needs ten settled";
  EXPECT_DOUBLE_EQ(0.045, s.rmsMedian[0]);
}

// The mode 0 event loop orders its events by comparing their times exactly: an exact camera must see at the very
// times navigation is published, bit for bit, for its corrections to come at the navigation times.
TEST(CameraFeed, WithoutCameraItemsSeesExactlyAtEveryNavigationTimeAndDeliversAtOnce)
{
  VehicleModelConfig model = quarn::sim::idealVehicle();
  model.navRate = 10;
  model.camera.reset();
  quarn::sim::detail::CameraFeed camera(model, 1);
  EXPECT_EQ(100, camera.periodMs());
  for (long k = 0; k < 1000; ++k)
  {
    const double t = static_cast<double>(k) / model.navRate;
    ASSERT_EQ(t, camera.nextSeen()) << "view " << k;
    camera.see(t, { 0.1 * k, -0.1, 0 });
    ASSERT_EQ(t, camera.nextDue()) << "view " << k;
    const quarn::sim::detail::Frame frame = camera.deliver();
    EXPECT_EQ(0.1 * k, frame.x);
    EXPECT_EQ(-0.1, frame.y);
  }
  EXPECT_EQ(INFINITY, camera.nextDue()) << "nothing waits";
}

TEST(CameraFeed, DeliversEachViewItsLatencyLaterInTheOrderSeen)
{
  VehicleModelConfig model = quarn::sim::idealVehicle();
  model.camera = quarn::sim::CameraConfig{ 4, 0.3, 0 };
  quarn::sim::detail::CameraFeed camera(model, 1);
  EXPECT_EQ(250, camera.periodMs());
  camera.see(camera.nextSeen(), { 1, 2, 0 });
  EXPECT_EQ(0.25, camera.nextSeen());
  camera.see(camera.nextSeen(), { 3, 4, 0 });
  EXPECT_EQ(0.3, camera.nextDue()) << "the first view, seen at 0";
  EXPECT_EQ(1.0, camera.deliver().x);
  EXPECT_EQ(0.25 + 0.3, camera.nextDue());
  EXPECT_EQ(4.0, camera.deliver().y);
  EXPECT_EQ(INFINITY, camera.nextDue());
}
