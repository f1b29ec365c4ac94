// Identification and tuning against the real binaries: a bag recorded through ROS from hover_lock holding a
// pose on vehicle_sim, and a tuned configuration loaded by the real node.

#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/NavigationData.h>
#include <quarn_common/VisualServoingData.h>
#include <quarn_dev/hover_lock_core.h>
#include <quarn_sim/identification.h>
#include <quarn_sim/recording.h>
#include <quarn_sim/vehicle_model.h>

#include <quarn_test/ros_test_harness.h>

static ::testing::Environment* const rosEnvironment =
    ::testing::AddGlobalTestEnvironment(new quarn_test::RosEnvironment("tuning_test"));

namespace
{

constexpr double RECORDED = 60.0;  // s of the simulated run

std::string sourceFile(const std::string& relative)
{
  return quarn_test::readFile(std::string(QUARN_SIM_SOURCE_DIR) + "/" + relative);
}

// Runs hover_lock_tune tune on the default vehicle from base with a tiny search, without a smoothness limit that
// such a search could not meet; the written configuration.
quarn::dev::DeviceConfig tuneQuickly(const std::string& base, const std::string& output)
{
  quarn_test::ChildProcess tool = quarn_test::startProcess(
      { HOVER_LOCK_TUNE_BINARY, "tune", std::string(QUARN_SIM_SOURCE_DIR) + "/config/vehicle_default.xml", "--config",
        base, "-o", output, "--evaluations", "3", "--scenarios", "2", "--search-duration", "10", "--runs", "4",
        "--max-reversals", "40" });
  const auto end = tool.waitExit(6 * quarn_test::TIMEOUT);
  EXPECT_TRUE(end && end->code == 0) << (end ? end->describe() : "still running") << "\n" << tool.output();
  EXPECT_NE(std::string::npos, tool.output().find("BASE")) << tool.output();
  quarn::xml::XmlParamMapper<quarn::dev::DeviceConfig> mapper;
  quarn::dev::mapItems(mapper);
  mapper.loadXmlString(quarn_test::readFile(output));
  return mapper.data();
}

}  // namespace

TEST(TuningRos, ABagRecordedFromTheRealLoopGivesBackTheVehicle)
{
  const std::string ns = quarn_test::testNamespace();
  const std::string modelText = sourceFile("config/vehicle_default.xml");
  const quarn::sim::VehicleModelConfig model = quarn::sim::loadVehicleModel(modelText);
  ros::param::set(ns + "/hover_lock_config",
                  quarn_test::readFile(std::string(QUARN_DEV_SOURCE_DIR) + "/config/hover_lock_mode1.xml"));
  ros::param::set(ns + "/vehicle_sim/vehicle_model", modelText);
  ros::param::set(ns + "/vehicle_sim/initial_pose", std::vector<double>{ 3, 0, 3, 1 });
  ros::param::set(ns + "/vehicle_sim/duration", RECORDED);
  const std::string bag = quarn_test::RosEnvironment::get().workDir() + "/recorded.bag";

  quarn_test::ChildProcess record =
      quarn_test::startProcess({ ROSBAG_RECORD_BINARY, "-O", bag, ns + "/navigator_data", ns + "/behavior_response" });
  ASSERT_TRUE(record.waitForOutput("Subscribing to", 2)) << record.output();
  quarn_test::ChildProcess node = quarn_test::startProcess({ HOVER_LOCK_BINARY, "__ns:=" + ns });
  quarn_test::ChildProcess sim = quarn_test::startProcess({ VEHICLE_SIM_BINARY, "__ns:=" + ns });
  const auto end = sim.waitExit(RECORDED + 3 * quarn_test::TIMEOUT);
  ASSERT_TRUE(end && end->code == 0) << (end ? end->describe() : "still running") << "\n" << sim.output();
  EXPECT_EQ(0, record.stop().code) << record.output();

  const quarn::sim::Recording recording = quarn::sim::readRecording(bag, "navigator_data", "behavior_response");
  EXPECT_EQ(ns + "/navigator_data", recording.navTopic);
  EXPECT_TRUE(recording.stamped);
  EXPECT_TRUE(recording.hasVelocity);
  EXPECT_EQ(0u, recording.nonFinite + recording.outOfOrder);
  const quarn::sim::Identification id = quarn::sim::identifyModel(recording);
  for (int i = 0; i < 4; ++i)
  {
    EXPECT_NEAR(model.timeConstant[i], id.timeConstant[i].value, 0.15 * model.timeConstant[i]) << "axis " << i;
  }
  EXPECT_NEAR(model.delay, id.delay.value, 0.05);
  for (int i = 0; i < 3; ++i)
  {
    EXPECT_NEAR(model.current[i], id.current[i].value, 0.03) << "axis " << i;
  }
  EXPECT_NEAR(model.navRate, id.navRate, 0.05 * model.navRate);
  EXPECT_NEAR(model.navLatency, id.navLatency, 0.02);

  // The tool writes a model the simulator accepts; a bag it cannot read gives status 2 and no model.
  const std::string written = quarn_test::RosEnvironment::get().workDir() + "/identified.xml";
  for (const std::string& input : { bag + ".missing", bag })
  {
    quarn_test::ChildProcess tool =
        quarn_test::startProcess({ HOVER_LOCK_TUNE_BINARY, "identify", input, "-o", written });
    const auto end = tool.waitExit(3 * quarn_test::TIMEOUT);
    ASSERT_TRUE(end) << tool.output();
    EXPECT_EQ(input == bag ? 0 : 2, end->code) << tool.output();
    EXPECT_EQ(input == bag, std::filesystem::exists(written)) << tool.output();
  }
  EXPECT_NEAR(model.delay, quarn::sim::loadVehicleModel(quarn_test::readFile(written)).delay, 0.05);
}

TEST(TuningRos, TheTunedConfigurationLoadsInTheRealNodeInBothModes)
{
  const std::string ns = quarn_test::testNamespace();
  const std::string dir = quarn_test::RosEnvironment::get().workDir();
  for (const int mode : { 1, 0 })
  {
    const std::string base =
        std::string(QUARN_DEV_SOURCE_DIR) + "/config/hover_lock_mode" + std::to_string(mode) + ".xml";
    const std::string output = dir + "/tuned_mode" + std::to_string(mode) + ".xml";
    const quarn::dev::DeviceConfig tuned = tuneQuickly(base, output);
    EXPECT_EQ(mode, tuned.mode);
    // Mode 0 keeps its negative depth and heading gains, mode 1 its positive ones.
    EXPECT_EQ(mode == 1, tuned.pidConfigZ[0] > 0);
    EXPECT_EQ(mode == 1, tuned.pidConfigYaw[0] > 0);

    const std::string nodeNs = ns + "/mode" + std::to_string(mode);
    ros::param::set(nodeNs + "/hover_lock_config", quarn_test::readFile(output));
    ros::NodeHandle nh(nodeNs);
    quarn_test::Inbox<quarn_common::BhResponse> responses(nh, "behavior_response");
    const ros::Publisher navigation = nh.advertise<quarn_common::NavigationData>("navigator_data", 10);
    const ros::Publisher corrections = nh.advertise<quarn_common::VisualServoingData>("pixel_correction", 10);
    quarn_test::ChildProcess node = quarn_test::startProcess({ HOVER_LOCK_BINARY, "__ns:=" + nodeNs });
    ASSERT_TRUE(quarn_test::waitForSubscribers(navigation)) << node.output();
    ASSERT_TRUE(quarn_test::waitForSubscribers(corrections)) << node.output();
    ASSERT_TRUE(responses.waitForPublisher()) << node.output();
    quarn_common::NavigationData pose;
    pose.pose[0] = 1;
    pose.pose[2] = 2.5;
    navigation.publish(pose);
    if (mode == 0)
    {
      ASSERT_TRUE(node.waitForOutput("Received navigation data")) << node.output();
      quarn_common::VisualServoingData correction;
      correction.type = -1;
      corrections.publish(correction);
      quarn_test::spinFor(0.2);
      correction.type = 0;
      correction.correction.position.x = 0.5;
      corrections.publish(correction);
    }
    ASSERT_TRUE(responses.waitForCount(1)) << "mode " << mode << "\n" << node.output();
    EXPECT_EQ(10, responses.last().priority);
  }
}
