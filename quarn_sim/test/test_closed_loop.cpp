// The real hover_lock and vehicle_sim binaries in a closed loop on a private master.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/NavigationData.h>
#include <quarn_sim/campaign.h>
#include <quarn_sim/vehicle_model.h>

#include <quarn_test/ros_test_harness.h>

using quarn_common::BhResponse;
using quarn_common::NavigationData;

static ::testing::Environment* const rosEnvironment =
    ::testing::AddGlobalTestEnvironment(new quarn_test::RosEnvironment("closed_loop_test"));

namespace
{

using quarn::sim::POSITION_TOLERANCE;

constexpr double CURRENT = 0.3;  // m/s along world x, away from the target
constexpr double TAIL = 3.0;     // s at the end of a run whose mean position tells where the vehicle rests
constexpr double RATE = 20.0;    // Hz of the simulator and of the test's own publishing

struct Sample
{
  double t, x, y, z, yaw;
};

// Mode 1 holding (0, 0, 2, 0), with the given proportional, integral and derivative gains for x and y.
std::string holdConfig(const std::string& xyGains)
{
  return "<hover_lock>\n"
         "  <mode type=\"integer\" value=\"1\"/>\n"
         "  <desired_pose type=\"vector\" value=\"0 0 2 0 0 0\"/>\n"
         "  <pid_config_x type=\"vector\" value=\"" +
         xyGains +
         "\"/>\n"
         "  <pid_config_y type=\"vector\" value=\"" +
         xyGains +
         "\"/>\n"
         "  <pid_config_z type=\"vector\" value=\"1 0.2 0\"/>\n"
         "  <pid_config_yaw type=\"vector\" value=\"2 0.2 0\"/>\n"
         "</hover_lock>\n";
}

// The ideal vehicle (follows at once, exact navigation at RATE) in a current of CURRENT along world x.
std::string idealVehicleInCurrent()
{
  quarn::xml::XmlParamMapper<quarn::sim::VehicleModelConfig> mapper("vehicle_model");
  quarn::sim::mapItems(mapper);
  mapper.data() = quarn::sim::idealVehicle();
  mapper.data().current = Eigen::Vector3d(CURRENT, 0, 0);
  mapper.data().navRate = RATE;
  return mapper.getXmlString();
}

// Runs hover_lock with the x and y gains against a vehicle starting at (1, -1, 2.5, 0.5) in the current, for
// duration seconds of simulated run; returns every pose the vehicle published, timed from the first.
std::vector<Sample> holdAgainstCurrent(const std::string& xyGains, double duration)
{
  const std::string ns = quarn_test::testNamespace();
  ros::param::set(ns + "/hover_lock_config", holdConfig(xyGains));
  ros::param::set(ns + "/vehicle_sim/initial_pose", std::vector<double>{ 1, -1, 2.5, 0.5 });
  ros::param::set(ns + "/vehicle_sim/vehicle_model", idealVehicleInCurrent());
  ros::param::set(ns + "/vehicle_sim/duration", duration);
  ros::NodeHandle nh(ns);
  quarn_test::Inbox<NavigationData> poses(nh, "navigator_data");
  quarn_test::ChildProcess node = quarn_test::startProcess({ HOVER_LOCK_BINARY, "__ns:=" + ns });
  quarn_test::ChildProcess sim = quarn_test::startProcess({ VEHICLE_SIM_BINARY, "__ns:=" + ns });

  const auto end = sim.waitExit(duration + 3 * quarn_test::TIMEOUT);
  EXPECT_TRUE(end && end->code == 0) << (end ? end->describe() : "still running") << "\n" << sim.output();
  EXPECT_TRUE(node.running()) << node.output();
  std::vector<Sample> samples;
  for (const NavigationData& m : poses.messages())
  {
    const double t = (m.header.stamp - poses.messages().front().header.stamp).toSec();
    samples.push_back({ t, m.pose[0], m.pose[1], m.pose[2], m.pose[5] });
  }
  return samples;
}

// Samples of the last TAIL seconds.
std::vector<Sample> lastTail(const std::vector<Sample>& samples)
{
  std::vector<Sample> tail;
  for (const Sample& s : samples)
  {
    if (s.t >= samples.back().t - TAIL)
    {
      tail.push_back(s);
    }
  }
  return tail;
}

// The samples judged by the campaign's settling rule, holding (0, 0, 2, 0).
quarn::sim::RunResult judged(const std::vector<Sample>& samples)
{
  quarn::sim::RunMetrics metrics(samples.back().t);
  for (const Sample& s : samples)
  {
    metrics.add(s.t, { s.x, s.y, s.z - 2, s.yaw }, {});
  }
  return metrics.result();
}

double meanX(const std::vector<Sample>& samples)
{
  double sum = 0;
  for (const Sample& s : samples)
  {
    sum += s.x;
  }
  return sum / samples.size();
}

// Publishes the command at RATE for seconds.
void command(const ros::Publisher& publisher, const BhResponse& response, double seconds)
{
  for (int i = 0; i < static_cast<int>(seconds * RATE); ++i)
  {
    publisher.publish(response);
    quarn_test::spinFor(1.0 / RATE);
  }
}

// Waits (bounded) until the simulator has dropped the last set-point: two poses in a row are the same.
bool comesToRest(const quarn_test::Inbox<NavigationData>& poses)
{
  return quarn_test::waitUntil([&] {
    const std::vector<NavigationData>& m = poses.messages();
    return m.size() >= 2 && m[m.size() - 1].pose == m[m.size() - 2].pose;
  });
}

}  // namespace

TEST(ClosedLoop, Mode1SettlesFromAnOffsetAndTheIntegralRemovesTheOffsetOfTheCurrent)
{
  const std::vector<Sample> samples = holdAgainstCurrent("1 0.5 0", 14.0);
  ASSERT_GE(samples.size(), 100u);
  const quarn::sim::RunResult result = judged(samples);
  EXPECT_TRUE(result.settled) << "final error " << result.finalError[0] << " " << result.finalError[1] << " "
                              << result.finalError[2] << " " << result.finalError[3];
  // Proportional action alone would leave CURRENT / kp = 0.3 m (next test).
  EXPECT_NEAR(0.0, meanX(lastTail(samples)), POSITION_TOLERANCE / 2);
}

TEST(ClosedLoop, WithoutIntegralTheCurrentHoldsTheVehicleOff)
{
  const std::vector<Sample> samples = holdAgainstCurrent("1 0 0", 8.0);
  ASSERT_GE(samples.size(), 60u);
  // The vehicle rests where the proportional command (rounded to tenths) balances the current.
  EXPECT_NEAR(CURRENT, meanX(lastTail(samples)), POSITION_TOLERANCE);
}

TEST(ClosedLoop, AZeroFlagLeavesItsAxisAlone)
{
  const std::string ns = quarn_test::testNamespace();
  ros::param::set(ns + "/vehicle_sim/initial_pose", std::vector<double>{ 1, 2, 3, 0 });
  ros::NodeHandle nh(ns);
  quarn_test::Inbox<NavigationData> poses(nh, "navigator_data");
  const ros::Publisher responses = nh.advertise<BhResponse>("behavior_response", 1);
  quarn_test::ChildProcess sim = quarn_test::startProcess({ VEHICLE_SIM_BINARY, "__ns:=" + ns });
  ASSERT_TRUE(poses.waitForCount(1)) << sim.output();

  struct Case
  {
    BhResponse::_activationLevels_type flags;
    std::array<bool, 4> moves;  // x, y, z, yaw
  };
  // With the heading left alone, body x and y stay world x and y.
  const Case cases[] = { { { { 1, 0, 1, 0, 0, 0 } }, { true, false, true, false } },
                         { { { 0, 1, 0, 0, 0, 0 } }, { false, true, false, false } } };
  for (const Case& c : cases)
  {
    const NavigationData before = poses.last();
    BhResponse response;
    response.twist.linear.x = response.twist.linear.y = response.twist.linear.z = 0.5;
    response.twist.angular.z = 0.5;
    response.activationLevels = c.flags;
    command(responses, response, 1.0);
    ASSERT_TRUE(comesToRest(poses)) << sim.output();
    const NavigationData after = poses.last();
    const int index[] = { 0, 1, 2, 5 };
    for (int axis = 0; axis < 4; ++axis)
    {
      const double b = before.pose[index[axis]], a = after.pose[index[axis]];
      if (c.moves[axis])
      {
        EXPECT_GT(a - b, 0.25) << "axis " << axis << " of case " << &c - cases;
      }
      else
      {
        EXPECT_EQ(b, a) << "axis " << axis << " of case " << &c - cases;
      }
    }
  }
}

TEST(VehicleSim, RefusesABrokenModelDocumentWithOneFatalLineNamingTheItem)
{
  const std::string ns = quarn_test::testNamespace();
  std::string model = idealVehicleInCurrent();
  const std::size_t at = model.find("value=\"", model.find("<nav_rate")) + 7;
  model.replace(at, model.find('"', at) - at, "0");
  ros::param::set(ns + "/vehicle_sim/vehicle_model", model);
  quarn_test::ChildProcess sim = quarn_test::startProcess({ VEHICLE_SIM_BINARY, "__ns:=" + ns });
  const auto end = sim.waitExit(quarn_test::TIMEOUT);
  ASSERT_TRUE(end) << sim.output();
  EXPECT_EQ(1, end->code) << end->describe();
  EXPECT_EQ(1u, quarn_test::countOf(sim.output(), "FATAL")) << sim.output();
  EXPECT_NE(std::string::npos, sim.output().find("nav_rate must be > 0")) << sim.output();
}

// After a restart of the master the simulator registers again, and a controller started afterwards drives it.
TEST(VehicleSim, RegistersAgainWithARestartedMaster)
{
  quarn_test::RosEnvironment& environment = quarn_test::RosEnvironment::get();
  const std::string ns = quarn_test::testNamespace();
  const std::string node = ns + "/vehicle_sim";
  quarn_test::ChildProcess sim = quarn_test::startProcess({ VEHICLE_SIM_BINARY, "__ns:=" + ns });
  ASSERT_TRUE(quarn_test::waitUntil([&] { return quarn_test::masterLists(node, { ns + "/navigator_data" }, {}); }))
      << sim.output();
  environment.stopMaster();
  ASSERT_TRUE(environment.restartMaster()) << "logs in " << environment.workDir();
  // Registered again within 5 s of the new master answering.
  EXPECT_TRUE(quarn_test::waitUntil(
      [&] { return quarn_test::masterLists(node, { ns + "/navigator_data" }, { ns + "/behavior_response" }); }, 5.0))
      << sim.output();

  ros::NodeHandle nh(ns);
  quarn_test::Inbox<NavigationData> poses(nh, "navigator_data");
  ros::Publisher responses = nh.advertise<BhResponse>("behavior_response", 1);
  ASSERT_TRUE(poses.waitForPublisher()) << sim.output();
  ASSERT_TRUE(quarn_test::waitForSubscribers(responses)) << sim.output();
  EXPECT_TRUE(poses.waitForCount(1)) << sim.output();
  EXPECT_EQ("exit 0", sim.stop().describe()) << sim.output();
}

namespace
{

// One line of vehicle_sim's trajectory file: time, true pose, set-point in force.
struct TrajectoryRow
{
  double t;
  quarn::sim::Pose pose;
  quarn::sim::Axes command;
};

// The real hover_lock with configText against vehicle_sim with modelText from initialPose (and the visual target
// at target, if any) for duration seconds; vehicle_sim's trajectory.
std::vector<TrajectoryRow> realRun(const std::string& configText, const std::string& modelText,
                                   const std::vector<double>& initialPose, unsigned seed, double duration,
                                   const std::vector<double>& target = {})
{
  const std::string ns = quarn_test::testNamespace();
  const std::string trajectory = ::testing::TempDir() + "fidelity_" + std::to_string(getpid()) + ".csv";
  ros::param::set(ns + "/hover_lock_config", configText);
  ros::param::set(ns + "/vehicle_sim/vehicle_model", modelText);
  ros::param::set(ns + "/vehicle_sim/initial_pose", initialPose);
  if (!target.empty())
  {
    ros::param::set(ns + "/vehicle_sim/target", target);
  }
  ros::param::set(ns + "/vehicle_sim/seed", static_cast<int>(seed));
  ros::param::set(ns + "/vehicle_sim/duration", duration);
  ros::param::set(ns + "/vehicle_sim/trajectory_file", trajectory);
  quarn_test::ChildProcess node = quarn_test::startProcess({ HOVER_LOCK_BINARY, "__ns:=" + ns });
  quarn_test::ChildProcess sim = quarn_test::startProcess({ VEHICLE_SIM_BINARY, "__ns:=" + ns });
  const auto end = sim.waitExit(duration + 3 * quarn_test::TIMEOUT);
  EXPECT_TRUE(end && end->code == 0) << (end ? end->describe() : "still running") << "\n" << sim.output();

  // Columns t, x, y, z, yaw, cmd_x, cmd_y, cmd_z, cmd_yaw.
  std::ifstream csv(trajectory);
  std::string line;
  std::getline(csv, line);
  std::vector<TrajectoryRow> rows;
  while (std::getline(csv, line))
  {
    std::replace(line.begin(), line.end(), ',', ' ');
    std::istringstream text(line);
    TrajectoryRow row;
    text >> row.t >> row.pose.x >> row.pose.y >> row.pose.z >> row.pose.yaw >> row.command[0] >> row.command[1] >>
        row.command[2] >> row.command[3];
    rows.push_back(row);
  }
  std::remove(trajectory.c_str());
  return rows;
}

// The campaign's run and the real node's agree: both settle, within settlingTolerance seconds of each other, and
// end within tolerance of each other per axis.
void expectAgreement(const quarn::sim::RunResult& campaign, const quarn::sim::RunResult& real,
                     const std::array<double, 4>& tolerance, double settlingTolerance = 1.0)
{
  std::cout << "settling time: campaign " << campaign.settlingTime << " s, real node " << real.settlingTime
            << " s; final errors (x, y, depth, heading):";
  for (int i = 0; i < 4; ++i)
  {
    std::cout << " " << campaign.finalError[i] << " / " << real.finalError[i];
  }
  std::cout << std::endl;
  ASSERT_TRUE(campaign.settled);
  ASSERT_TRUE(real.settled);
  EXPECT_NEAR(campaign.settlingTime, real.settlingTime, settlingTolerance);
  for (int i = 0; i < 4; ++i)
  {
    EXPECT_NEAR(campaign.finalError[i], real.finalError[i], tolerance[i]) << "axis " << i;
  }
}

quarn::dev::DeviceConfig loadConfig(const std::string& text)
{
  quarn::xml::XmlParamMapper<quarn::dev::DeviceConfig> mapper;
  quarn::dev::mapItems(mapper);
  mapper.loadXmlString(text);
  EXPECT_EQ("", quarn::dev::readAxisOptions(text, mapper.data().axes));
  return mapper.data();
}

}  // namespace

// The demo's mode 1 scenario, run 8 of the campaign's standard set: the campaign's single run and the real
// hover_lock against vehicle_sim (same model, same seed) agree.
TEST(Fidelity, TheCampaignAgreesWithTheRealNodeOnTheDemoScenario)
{
  constexpr int RUN = 8;
  constexpr double DURATION = 40.0;
  const std::string configText = quarn_test::readFile(QUARN_DEV_SOURCE_DIR "/config/hover_lock_mode1.xml");
  const std::string modelText = quarn_test::readFile(QUARN_SIM_SOURCE_DIR "/config/vehicle_default.xml");
  const quarn::dev::DeviceConfig config = loadConfig(configText);
  quarn::sim::CampaignOptions options;
  options.first = RUN;
  options.runs = 1;
  options.duration = DURATION;
  const quarn::sim::RunResult campaign =
      quarn::sim::runCampaign(config, quarn::sim::loadVehicleModel(modelText), options).front();
  const quarn::sim::Scenario& s = campaign.scenario;
  const Eigen::VectorXd& target = config.desiredPose;

  quarn::sim::RunMetrics metrics(DURATION);
  for (const TrajectoryRow& row :
       realRun(configText, modelText, { target[0] + s.dx, target[1] + s.dy, target[2] + s.dz, target[5] + s.dyaw },
               s.seed, DURATION))
  {
    const quarn::sim::Pose& p = row.pose;
    metrics.add(
        row.t, { p.x - target[0], p.y - target[1], p.z - target[2], quarn::algebra::normalizeAngle(p.yaw - target[5]) },
        row.command);
  }
  expectAgreement(campaign, metrics.result(), { 0.05, 0.05, 0.05, 0.03 });
}

// A mode 0 run of the campaign's set (target 3 m away at 45 degrees, in the current) with a camera that is late
// and noisy: the campaign and the real hover_lock against vehicle_sim agree.
TEST(Fidelity, TheMode0CampaignAgreesWithTheRealNodeThroughTheSameCamera)
{
  constexpr int RUN = 9;
  constexpr double DURATION = 40.0;
  const std::string configText = quarn_test::readFile(QUARN_DEV_SOURCE_DIR "/config/hover_lock_mode0.xml");
  std::string modelText = quarn_test::readFile(QUARN_SIM_SOURCE_DIR "/config/vehicle_default.xml");
  modelText.insert(modelText.rfind("</vehicle_model>"),
                   "<camera_rate type=\"real\" value=\"10\"/>"
                   "<camera_latency type=\"real\" value=\"0.15\"/>"
                   "<camera_noise type=\"real\" value=\"0.03\"/>");
  const quarn::sim::VehicleModelConfig model = quarn::sim::loadVehicleModel(modelText);
  ASSERT_TRUE(model.camera);
  const quarn::dev::DeviceConfig config = loadConfig(configText);
  ASSERT_EQ(0, config.mode);
  quarn::sim::CampaignOptions options;
  options.first = RUN;
  options.runs = 1;
  options.duration = DURATION;
  const quarn::sim::RunResult campaign = quarn::sim::runCampaign(config, model, options).front();
  const quarn::sim::Scenario& s = campaign.scenario;
  const quarn::sim::Pose& start = quarn::sim::SERVOING_START;
  const double targetX = start.x - s.dx, targetY = start.y - s.dy;

  // The real node holds the depth and heading it captured from noisy navigation at rest: the start's.
  quarn::sim::RunMetrics metrics(DURATION);
  for (const TrajectoryRow& row : realRun(configText, modelText, { start.x, start.y, start.z, start.yaw }, s.seed,
                                          DURATION, { targetX, targetY, start.z }))
  {
    const quarn::sim::Offset offset = quarn::sim::offsetInVehicleFrame(row.pose, targetX, targetY, start.z);
    metrics.add(row.t,
                { offset.x, offset.y, row.pose.z - start.z, quarn::algebra::normalizeAngle(row.pose.yaw - start.yaw) },
                row.command);
  }
  // The real camera sees on a wall-clock timer, so its noisy corrections fall on slightly other poses than the
  // campaign's; near the tolerance that moves the last exit by several seconds (measured 21.8 to 28.4 s against
  // the campaign's 21.25 s), while the approach and the final errors agree.
  expectAgreement(campaign, metrics.result(), { 0.05, 0.05, 0.05, 0.03 }, 8.0);
}

// Either node refusing its document ends the whole simulation, and says what to change.
TEST(SimulationLaunch, EndsWhenANodeRefusesItsDocument)
{
  const std::string ns = quarn_test::testNamespace();
  const std::string scratch = ::testing::TempDir() + "refused_" + std::to_string(getpid()) + ".xml";
  struct Case
  {
    std::string argument, document, died, says;
  };
  const Case cases[] = {
    { "config:=", "<hover_lock><mode type=\"integer\" value=\"1\"/></hover_lock>\n", "hover_lock",
      "Path element not found: desired_pose" },
    { "vehicle:=", "<vehicle_model><delay type=\"real\" value=\"0.1\"/></vehicle_model>\n", "vehicle_sim",
      "Vehicle model " + scratch +
          " (in ~vehicle_model) refused: Path element not found: nav_latency; time_constant must be an element of "
          "type vector, e.g. <time_constant type=\"vector\" value=\"0.6 0.6 0.4 0.3\"/>" },
  };
  for (const Case& c : cases)
  {
    std::ofstream(scratch) << c.document;
    quarn_test::ChildProcess launch =
        quarn_test::startProcess({ "roslaunch", "quarn_sim", "hover_lock_sim.launch", c.argument + scratch },
                                 { { "ROS_NAMESPACE", ns },
                                   { "ROS_PACKAGE_PATH", QUARN_SIM_SOURCE_DIR "/.." },
                                   { "CMAKE_PREFIX_PATH", QUARN_DEVEL_PREFIX } });
    // roslaunch itself takes a while to come up.
    const auto end = launch.waitExit(60.0);
    std::remove(scratch.c_str());
    ASSERT_TRUE(end) << "the simulation kept running:\n" << launch.output();
    const std::string output = launch.output();
    EXPECT_NE(std::string::npos, output.find("REQUIRED process [" + ns.substr(1) + "/" + c.died + "-")) << output;
    EXPECT_NE(std::string::npos, output.find(c.says)) << output;
  }
}
