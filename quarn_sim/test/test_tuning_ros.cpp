// Identification and tuning against the real binaries: a bag recorded through ROS from hover_lock holding a
// pose on vehicle_sim, and a tuned configuration loaded by the real node.

#include <string>

#include <gtest/gtest.h>
#include <ros/ros.h>

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

}  // namespace

TEST(TuningRos, ABagRecordedFromTheRealLoopGivesBackTheVehicle)
{
  const std::string ns = quarn_test::testNamespace();
  const std::string modelText = sourceFile("config/vehicle_default.xml");
  const vehicle_sim::VehicleModelConfig model = vehicle_sim::loadVehicleModel(modelText);
  ros::param::set(ns + "/hover_lock_config", sourceFile("demo/hover_lock_mode1.xml"));
  ros::param::set(ns + "/vehicle_sim/vehicle_model", modelText);
  ros::param::set(ns + "/vehicle_sim/initial_pose", std::vector<double>{ 3, -3, 3, 1 });
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

  const hover_lock_tune::Recording recording =
      hover_lock_tune::readRecording(bag, "navigator_data", "behavior_response");
  EXPECT_EQ(ns + "/navigator_data", recording.navTopic);
  EXPECT_TRUE(recording.stamped);
  EXPECT_TRUE(recording.hasVelocity);
  EXPECT_EQ(0u, recording.nonFinite + recording.outOfOrder);
  const hover_lock_tune::Identification id = hover_lock_tune::identifyModel(recording);
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
}
