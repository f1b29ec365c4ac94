// Floods two running hover_lock nodes, one per mode, with what failing sensors send: NaN, infinities, huge
// values, empty and 10 kB frame names and bursts of type -1 corrections, as fast as one client can publish.
// Afterwards each node must still run, must never have published a non-finite command, must not have grown
// its resident memory by more than 5 MB, and must answer an ordinary message as before.

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/NavigationData.h>
#include <quarn_common/VisualServoingData.h>

#include <quarn_test/ros_test_harness.h>

using quarn_common::BhResponse;
using quarn_common::NavigationData;
using quarn_common::VisualServoingData;

static ::testing::Environment* const rosEnvironment =
    ::testing::AddGlobalTestEnvironment(new quarn_test::RosEnvironment("fault_injection_test"));

namespace
{

const double FLOOD_SECONDS = 20.0;
// One-off allocations (buffers sized for the first 10 kB messages) happen in this first part of the flood,
// before the memory baseline is taken.
const double WARM_UP_SECONDS = 2.0;
const long MAX_RSS_GROWTH_KB = 5 * 1024;
const std::size_t LONG_FRAME_ID = 10 * 1024;
const unsigned SEED = 1234567;

// Resident memory of a process in kB (VmRSS of /proc/PID/status); -1 if it cannot be read.
long residentKb(pid_t pid)
{
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; status >> key;)
  {
    long kb = 0;
    if (key == "VmRSS:" && status >> kb)
    {
      return kb;
    }
  }
  return -1;
}

// Messages of a failing sensor: ordinary numbers mixed with non-finite and extreme ones, frame names that
// are empty or 10 kB long, and corrections that come in bursts of type -1. Deterministic for a seed.
class HostileSource
{
public:
  explicit HostileSource(unsigned seed) : random_(seed) {}

  NavigationData navigation()
  {
    NavigationData message;
    message.header.seq = static_cast<std::uint32_t>(random_());
    message.header.frame_id = frameId();
    for (auto* array : { &message.pose, &message.velocity, &message.acceleration, &message.poseQuality,
                         &message.velocityQuality, &message.accelerationQuality })
    {
      for (double& value : *array)
      {
        value = number();
      }
    }
    message.altitude = number();
    return message;
  }

  VisualServoingData correction()
  {
    if (burstLeft_ == 0 && chance(0.05))
    {
      burstLeft_ = 20;
    }
    VisualServoingData message;
    message.type = burstLeft_ > 0 ? -1 : static_cast<int>(random_() % 3);
    burstLeft_ -= burstLeft_ > 0 ? 1 : 0;
    message.correction.position.x = number();
    message.correction.position.y = number();
    message.correction.position.z = number();
    message.correction.orientation.x = number();
    message.correction.orientation.w = number();
    return message;
  }

private:
  bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < p; }

  double number()
  {
    static const double extremes[] = {
      std::numeric_limits<double>::quiet_NaN(),
      -std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::max(),
      -std::numeric_limits<double>::max(),
      1e300,
      -1e300,
      std::numeric_limits<double>::denorm_min(),
      -0.0,
    };
    if (chance(0.5))
    {
      return std::uniform_real_distribution<double>(-10.0, 10.0)(random_);
    }
    return extremes[random_() % std::size(extremes)];
  }

  std::string frameId()
  {
    switch (random_() % 3)
    {
      case 0:
        return std::string();
      case 1:
        return std::string(LONG_FRAME_ID, 'f');
      default:
        return "base_link";
    }
  }

  std::mt19937 random_;
  int burstLeft_ = 0;
};

// The six components of a response's twist, linear then angular.
std::array<double, 6> components(const BhResponse& response)
{
  const auto& t = response.twist;
  return { t.linear.x, t.linear.y, t.linear.z, t.angular.x, t.angular.y, t.angular.z };
}

bool finiteCommand(const BhResponse& response)
{
  const std::array<double, 6> command = components(response);
  return std::all_of(command.begin(), command.end(), [](double v) { return std::isfinite(v); });
}

// An ordinary command: finite, within the controllers' output range, flags (1, 1, 1, 0, 0, 1), priority 10.
::testing::AssertionResult ordinary(const BhResponse& response)
{
  const BhResponse::_activationLevels_type flags = { { 1, 1, 1, 0, 0, 1 } };
  for (double v : components(response))
  {
    if (!(std::fabs(v) <= 1.0))
    {
      return ::testing::AssertionFailure() << "command component " << v;
    }
  }
  if (response.activationLevels != flags || response.priority != 10)
  {
    return ::testing::AssertionFailure() << "flags or priority " << response.priority;
  }
  return ::testing::AssertionSuccess();
}

// One hover_lock under attack in a namespace of its own. Its responses are counted on a spinner thread of
// their own, so that none is lost while the test thread publishes flat out.
class Target
{
public:
  Target(const std::string& ns, const std::string& configText) : nh_(ns)
  {
    ros::param::set(ns + "/hover_lock_config", configText);
    node_.emplace(quarn_test::startProcess({ HOVER_LOCK_BINARY, "__ns:=" + ns }));
    navigation_ = nh_.advertise<NavigationData>("navigator_data", 100);
    corrections_ = nh_.advertise<VisualServoingData>("pixel_correction", 100);
    ros::NodeHandle watched(ns);
    watched.setCallbackQueue(&queue_);
    responses_ = watched.subscribe("behavior_response", 10000, &Target::receive, this);
    spinner_.start();
  }

  quarn_test::ChildProcess& node() { return *node_; }

  bool connected()
  {
    return quarn_test::waitForSubscribers(navigation_) && quarn_test::waitForSubscribers(corrections_) &&
           quarn_test::waitUntil([&] { return responses_.getNumPublishers() > 0; });
  }

  void publish(const NavigationData& navigation, const VisualServoingData& correction)
  {
    navigation_.publish(navigation);
    corrections_.publish(correction);
  }

  // Sends ordinary messages until one more response arrives; that response, if any, goes to answer.
  bool answers(const NavigationData& navigation, const VisualServoingData& correction, BhResponse& answer)
  {
    const std::size_t before = count_;
    const bool answered = quarn_test::waitUntil([&] {
      publish(navigation, correction);
      return quarn_test::waitUntil([&] { return count_ > before; }, 0.1);
    });
    std::lock_guard<std::mutex> lock(mutex_);
    answer = last_;
    return answered;
  }

  std::size_t responses() const { return count_; }
  std::size_t nonFinite() const { return nonFinite_; }

private:
  void receive(const BhResponse& response)
  {
    nonFinite_ += finiteCommand(response) ? 0 : 1;
    std::lock_guard<std::mutex> lock(mutex_);
    last_ = response;
    ++count_;
  }

  ros::NodeHandle nh_;
  std::optional<quarn_test::ChildProcess> node_;
  ros::Publisher navigation_;
  ros::Publisher corrections_;
  ros::CallbackQueue queue_;
  ros::Subscriber responses_;
  ros::AsyncSpinner spinner_{ 1, &queue_ };
  std::mutex mutex_;
  BhResponse last_;
  std::atomic<std::size_t> count_{ 0 };
  std::atomic<std::size_t> nonFinite_{ 0 };
};

std::string exampleConfig(int mode)
{
  return quarn_test::readFile(QUARN_DEV_SOURCE_DIR "/config/hover_lock_mode" + std::to_string(mode) + ".xml");
}

NavigationData calmNavigation()
{
  NavigationData message;
  message.pose = { { 0.0, 0.0, 2.0, 0.0, 0.0, 0.0 } };
  return message;
}

VisualServoingData correction(double x)
{
  VisualServoingData message;
  message.correction.position.x = x;
  return message;
}

VisualServoingData calmCorrection()
{
  return correction(1.0);
}

}  // namespace

TEST(FaultInjection, NodesInBothModesOutliveAFloodOfHostileMessages)
{
  const std::string ns = quarn_test::testNamespace();
  std::vector<std::unique_ptr<Target>> targets;
  for (int mode : { 0, 1 })
  {
    targets.push_back(std::make_unique<Target>(ns + "/mode" + std::to_string(mode), exampleConfig(mode)));
  }
  BhResponse answer;
  for (auto& target : targets)
  {
    ASSERT_TRUE(target->connected()) << target->node().output();
    ASSERT_TRUE(target->answers(calmNavigation(), calmCorrection(), answer)) << target->node().output();
  }

  HostileSource source(SEED);
  std::vector<long> baselineKb(targets.size(), -1);
  std::vector<std::size_t> before;
  for (auto& target : targets)
  {
    before.push_back(target->responses());
  }
  std::size_t sent = 0;
  const auto start = std::chrono::steady_clock::now();
  for (double elapsed = 0.0; elapsed < FLOOD_SECONDS;
       elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count())
  {
    for (std::size_t i = 0; i < targets.size(); ++i)
    {
      targets[i]->publish(source.navigation(), source.correction());
      if (baselineKb[i] < 0 && elapsed >= WARM_UP_SECONDS)
      {
        baselineKb[i] = residentKb(targets[i]->node().pid());
      }
    }
    ++sent;
  }

  for (std::size_t i = 0; i < targets.size(); ++i)
  {
    Target& target = *targets[i];
    SCOPED_TRACE("mode " + std::to_string(i));
    ASSERT_TRUE(target.node().running()) << target.node().stop().describe();
    const long grownKb = residentKb(target.node().pid()) - baselineKb[i];
    EXPECT_LE(grownKb, MAX_RSS_GROWTH_KB) << "baseline " << baselineKb[i] << " kB";
    EXPECT_EQ(0u, target.nonFinite()) << "of " << target.responses() << " responses";
    EXPECT_GT(target.responses(), before[i]) << "the flood of " << sent << " message pairs drew no response";
    ASSERT_TRUE(target.answers(calmNavigation(), calmCorrection(), answer));
    EXPECT_TRUE(ordinary(answer));
    EXPECT_TRUE(target.node().running());
    std::cout << "mode " << i << ": " << sent << " message pairs sent, " << target.responses() - before[i]
              << " responses, resident memory grew by " << grownKb << " kB" << std::endl;
  }
}

TEST(FaultInjection, HugeCorrectionsOfOppositeSignAreSkippedNotPublishedAsNaN)
{
  // Without a derivative gain, the derivative of the two corrections overflows and zero times it is NaN.
  const std::string gains = "type=\"vector\" value=\"0.5 0 0\"/>";
  const std::string config =
      "<c><mode type=\"integer\" value=\"0\"/>"
      "<desired_pose type=\"vector\" value=\"0 0 0 0 0 0\"/>"
      "<pid_config_x " +
      gains + "<pid_config_y " + gains + "<pid_config_z " + gains + "<pid_config_yaw " + gains + "</c>";
  Target target(quarn_test::testNamespace(), config);
  ASSERT_TRUE(target.connected()) << target.node().output();
  const double huge = std::numeric_limits<double>::max();
  BhResponse answer;
  ASSERT_TRUE(target.answers(calmNavigation(), correction(huge), answer)) << target.node().output();
  // On a slow machine answers() may have sent the huge correction twice; the opposite one must not follow the
  // second within the same millisecond, where the controllers' step has no rate and no derivative to overflow.
  quarn_test::spinFor(0.3);
  target.publish(calmNavigation(), correction(-huge));
  EXPECT_TRUE(target.node().waitForOutput("Skipping control step: a controller output is not finite"))
      << target.node().output();
  ASSERT_TRUE(target.answers(calmNavigation(), calmCorrection(), answer));
  EXPECT_TRUE(ordinary(answer));
  EXPECT_EQ(0u, target.nonFinite());
}
