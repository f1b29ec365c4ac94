// The hover_lock binary against a private master: start-up, both modes, unusable messages, reloads, launch file.

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <diagnostic_msgs/DiagnosticArray.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/ControllerState.h>
#include <quarn_common/NavigationData.h>
#include <quarn_common/VisualServoingData.h>
#include <std_srvs/Trigger.h>

#include <quarn_test/ros_test_harness.h>

using diagnostic_msgs::DiagnosticArray;
using diagnostic_msgs::DiagnosticStatus;
using quarn_common::BhResponse;
using quarn_common::ControllerState;
using quarn_common::NavigationData;
using quarn_common::VisualServoingData;

static ::testing::Environment* const rosEnvironment =
    ::testing::AddGlobalTestEnvironment(new quarn_test::RosEnvironment("hover_lock_test"));

namespace
{

const double NAN_ = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();
// Console line prefixes under the harness's format (rosconsole pads the severity to five characters).
#define LOG_INFO "[ INFO] [ros.quarn_dev]: "
#define LOG_WARN "[ WARN] [ros.quarn_dev]: "
#define LOG_ERROR "[ERROR] [ros.quarn_dev]: "
#define LOG_FATAL "[FATAL] [ros.quarn_dev]: "
const char* const RECEIVED = LOG_INFO "Received navigation data";
// Window in which a message that must not come would have shown up, and the pause that lets the node take a
// message without visible effect before the next one on the same topic could replace it in its queue of one.
const double QUIET = 0.3;

// Configuration document; every field is the value text of its item.
struct Config
{
  std::string mode = "1";
  std::string desiredPose = "1 0 2 0 0 0";
  std::string x = "0.5 0 0";
  std::string y = "0.5 0 0";
  std::string z = "0.5 0 0";
  std::string yaw = "0.5 0 0";
  std::string optional;  // further elements, each on its own line

  std::string xml() const
  {
    return "<hover_lock>\n  <mode type=\"integer\" value=\"" + mode + "\"/>\n  <desired_pose type=\"vector\" value=\"" +
           desiredPose + "\"/>\n  <pid_config_x type=\"vector\" value=\"" + x +
           "\"/>\n  <pid_config_y type=\"vector\" value=\"" + y + "\"/>\n  <pid_config_z type=\"vector\" value=\"" + z +
           "\"/>\n  <pid_config_yaw type=\"vector\" value=\"" + yaw + "\"/>\n" + optional + "</hover_lock>\n";
  }
};

// The published command of a response as (linear x, y, z, angular z), with the untouched components.
struct Command
{
  double x, y, z, yaw;
};

// Equal including the sign of a zero.
::testing::AssertionResult sameDouble(double expected, double actual)
{
  if (expected == actual && std::signbit(expected) == std::signbit(actual))
  {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected " << expected << ", got " << actual;
}

::testing::AssertionResult commands(const Command& expected, const BhResponse& response)
{
  const BhResponse::_activationLevels_type flags = { { 1, 1, 1, 0, 0, 1 } };
  const std::pair<const char*, ::testing::AssertionResult> checks[] = {
    { "linear.x", sameDouble(expected.x, response.twist.linear.x) },
    { "linear.y", sameDouble(expected.y, response.twist.linear.y) },
    { "linear.z", sameDouble(expected.z, response.twist.linear.z) },
    { "angular.x", sameDouble(0.0, response.twist.angular.x) },
    { "angular.y", sameDouble(0.0, response.twist.angular.y) },
    { "angular.z", sameDouble(expected.yaw, response.twist.angular.z) },
  };
  for (const auto& [name, result] : checks)
  {
    if (!result)
    {
      return ::testing::AssertionFailure() << name << ": " << result.message();
    }
  }
  if (response.activationLevels != flags || response.priority != 10)
  {
    return ::testing::AssertionFailure() << "flags or priority " << response.priority << " wrong";
  }
  return ::testing::AssertionSuccess();
}

NavigationData navigation(double x, double y, double z, double yaw)
{
  NavigationData message;
  message.pose = { { x, y, z, 0.0, 0.0, yaw } };
  return message;
}

VisualServoingData correction(int type, double x, double y)
{
  VisualServoingData message;
  message.type = type;
  message.correction.position.x = x;
  message.correction.position.y = y;
  return message;
}

// One hover_lock process in the test's own namespace, with the test's ends of its three topics.
class HoverLock : public ::testing::Test
{
protected:
  // Sets the configuration text, starts the node (with further arguments, such as parameters) and waits until all
  // three topics are connected.
  void start(const std::string& configText, const std::vector<std::string>& arguments = {})
  {
    ros::param::set(ns_ + "/hover_lock_config", configText);
    std::vector<std::string> argv = { HOVER_LOCK_BINARY, "__ns:=" + ns_ };
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    node_.emplace(quarn_test::startProcess(argv));
    ASSERT_TRUE(quarn_test::waitForSubscribers(navigation_)) << node_->output();
    ASSERT_TRUE(quarn_test::waitForSubscribers(corrections_)) << node_->output();
    ASSERT_TRUE(responses_.waitForPublisher()) << node_->output();
  }

  // An interrupt ends the event loop and main returns 0.
  void TearDown() override
  {
    if (node_)
    {
      EXPECT_EQ("exit 0", node_->stop().describe()) << node_->output();
    }
  }

  // Publishes a navigation message and waits until the node has handled it (its INFO line follows the response).
  void navigate(const NavigationData& message)
  {
    const std::size_t seen = quarn_test::countOf(node_->output(), RECEIVED);
    navigation_.publish(message);
    ASSERT_TRUE(node_->waitForOutput(RECEIVED, seen + 1)) << node_->output();
  }

  // Publishes a correction that must not publish anything and gives the node time to take it.
  void correctSilently(const VisualServoingData& message)
  {
    corrections_.publish(message);
    quarn_test::spinFor(QUIET);
  }

  // Publishes a message and returns the one response it causes (a default response after a failure).
  BhResponse respond(const VisualServoingData& message) { return respond(corrections_, message); }
  BhResponse respond(const NavigationData& message) { return respond(navigation_, message); }

  template <class M>
  BhResponse respond(const ros::Publisher& topic, const M& message)
  {
    const std::size_t seen = responses_.size();
    topic.publish(message);
    if (!responses_.waitForCount(seen + 1))
    {
      ADD_FAILURE() << "no response on " << topic.getTopic() << "\n" << node_->output();
      return BhResponse();
    }
    EXPECT_EQ(seen + 1, responses_.size()) << "a silent message was answered";
    return responses_.last();
  }

  // Starts the node on configText with ~state on and waits until states_ hears it.
  void startWithState(const std::string& configText)
  {
    states_.emplace(nh_, "hover_lock/state");
    ASSERT_NO_FATAL_FAILURE(start(configText, { "_publish_state:=true" }));
    ASSERT_TRUE(states_->waitForPublisher()) << node_->output();
  }

  // Sets the configuration text and calls ~reload; its answer (a default one after a failed call).
  std_srvs::Trigger::Response reload(const std::string& configText)
  {
    ros::param::set(ns_ + "/hover_lock_config", configText);
    const std::string service = ns_ + "/hover_lock/reload";
    std_srvs::Trigger trigger;
    if (!ros::service::waitForService(service, ros::Duration(quarn_test::TIMEOUT)) ||
        !ros::service::call(service, trigger))
    {
      ADD_FAILURE() << "no answer from " << service << "\n" << node_->output();
    }
    return trigger.response;
  }

  const std::string ns_ = quarn_test::testNamespace();
  ros::NodeHandle nh_{ ns_ };
  quarn_test::Inbox<BhResponse> responses_{ nh_, "behavior_response" };
  ros::Publisher navigation_ = nh_.advertise<NavigationData>("navigator_data", 100);
  ros::Publisher corrections_ = nh_.advertise<VisualServoingData>("pixel_correction", 100);
  std::optional<quarn_test::ChildProcess> node_;
  std::optional<quarn_test::Inbox<ControllerState>> states_;
};

}  // namespace

TEST_F(HoverLock, Mode1HoldsThePoseFromNavigationData)
{
  const Config config;
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  EXPECT_TRUE(commands({ 0.5, -0.0, 0.0, 0.0 }, respond(navigation(0, 0, 2, 0))));
  EXPECT_TRUE(node_->waitForOutput(RECEIVED)) << node_->output();
  EXPECT_NE(std::string::npos, node_->output().find(std::string(LOG_INFO "config file = ") + config.xml()))
      << node_->output();
}

TEST_F(HoverLock, Mode1ClampsCommandsToTheConfiguredLimits)
{
  Config config;
  config.x = "2 0 0";
  config.z = "2 0 0";
  config.optional = "  <pid_limits_x type=\"vector\" value=\"0.4 10\"/>\n";
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  // 1 m off in x and depth: x stops at its own limit, depth at the default one.
  EXPECT_TRUE(commands({ 0.4, -0.0, -1.0, 0.0 }, respond(navigation(0, 0, 3, 0))));
}

TEST_F(HoverLock, Mode1AnswersEachNavigationMessageFromItsOwnPose)
{
  Config config;
  config.desiredPose = "0 0 3 0 0 -3.1";
  config.z = "1 0 0";
  config.yaw = "5 0 0";
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  struct Case
  {
    const char* name;
    NavigationData message;
    Command expected;
  };
  const Case cases[] = {
    // Heading 3.1 against -3.1 is 0.083 rad short of the target once wrapped: 5 * 0.083 rounds to 0.4.
    { "at the target, heading wrapped", navigation(0, 0, 3, 3.1), { -0.0, -0.0, 0.0, 0.4 } },
    { "deeper: output -2 clamped", navigation(0, 0, 5, -3.1), { -0.0, -0.0, -1.0, 0.0 } },
    { "facing -x, target ahead and to the right", navigation(0.4, -0.2, 2.8, -3.1), { 0.2, -0.1, 0.2, 0.0 } },
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(commands(c.expected, respond(c.message)));
  }
}

TEST_F(HoverLock, Mode1IgnoresPixelCorrections)
{
  ASSERT_NO_FATAL_FAILURE(start(Config().xml()));
  correctSilently(correction(0, 0.2, -0.3));
  correctSilently(correction(-1, 0.0, 0.0));
  // Responses come in order over one connection, so one answered navigation message proves none came before.
  EXPECT_TRUE(commands({ 0.5, -0.0, 0.0, 0.0 }, respond(navigation(0, 0, 2, 0))));
}

TEST_F(HoverLock, Mode0CorrectsFromPixelsAndHoldsCapturedReferences)
{
  Config config;
  config.mode = "0";
  config.x = config.y = config.z = config.yaw = "1 0 0";
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));

  // Before any capture the references are 0: z and yaw act on 0 - current.
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 0.3, 0.2)));
  EXPECT_TRUE(commands({ 0.2, -0.3, 0.3, 0.2 }, respond(correction(0, 0.2, -0.3))));

  // Two arming messages, then a correction: one capture, at the correction, in single precision; 0.3f is
  // above 0.3, so the yaw output is a tiny negative number that rounds to -0.0.
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(9, 9, 4.5, 0.3)));
  correctSilently(correction(-1, 0, 0));
  correctSilently(correction(-1, 0, 0));
  EXPECT_TRUE(commands({ -0.0, -0.0, 0.0, -0.0 }, respond(correction(0, 0, 0))));

  // Moving alone does not move the references.
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 4.7, 0.0)));
  EXPECT_TRUE(commands({ -0.0, -0.0, 0.2, -0.3 }, respond(correction(0, 0, 0))));
  EXPECT_TRUE(commands({ -0.0, -0.0, 0.2, -0.3 }, respond(correction(0, 0, 0))));

  // Re-armed: the next correction captures the latest navigation, even one that came after the arming.
  correctSilently(correction(-1, 0, 0));
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 1.0, 3.1)));
  EXPECT_TRUE(commands({ -0.0, -0.0, 0.0, 0.0 }, respond(correction(0, 0, 0))));

  // Reference 3.1 against heading -3.1: the yaw controller gets 6.2, not wrapped, and saturates.
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 1.0, -3.1)));
  EXPECT_TRUE(commands({ -0.0, -0.0, 0.0, -1.0 }, respond(correction(0, 0, 0))));
}

TEST_F(HoverLock, Mode0NavigationDataPublishesNothing)
{
  Config config;
  config.mode = "0";
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 2, 0)));
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(5, 5, 2, 0)));
  EXPECT_EQ(0u, responses_.size());
  // Depth reference 0 against the latest depth 2.
  EXPECT_TRUE(commands({ -0.0, -0.0, 1.0, 0.0 }, respond(correction(0, 0, 0))));
}

TEST_F(HoverLock, OtherModesPublishNothingAndSayThatOnce)
{
  Config config;
  config.mode = "2";
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 2, 0)));
  corrections_.publish(correction(0, 0.2, -0.3));
  EXPECT_TRUE(responses_.staysAt(0, QUIET));
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 2, 0)));
  EXPECT_TRUE(node_->running());
  EXPECT_EQ(1u, quarn_test::countOf(node_->output(), LOG_WARN "Mode 2 is neither 0 nor 1: nothing "
                                                              "will be published"))
      << node_->output();
}

TEST_F(HoverLock, NonFiniteNavigationIsLoggedAndDropped)
{
  Config config;
  config.x = "0.5 0.001 0";  // an integral that a single NaN would poison for good
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  const NavigationData bad[] = {
    navigation(NAN_, 0, 2, 0),
    navigation(0, INF, 2, 0),
    navigation(0, 0, -INF, 0),
    navigation(0, 0, 2, NAN_),
  };
  for (const NavigationData& message : bad)
  {
    ASSERT_NO_FATAL_FAILURE(navigate(message));
  }
  // Throttled: one warning for the burst; every message still gets its INFO line.
  const std::string output = node_->output();
  EXPECT_EQ(1u, quarn_test::countOf(output, LOG_WARN "Ignoring navigation data: x, y, z or yaw is "
                                                     "not finite"))
      << output;
  EXPECT_EQ(4u, quarn_test::countOf(output, RECEIVED));
  // The first response is the answer to this message: nothing was published for the bad ones.
  EXPECT_TRUE(commands({ 0.5, -0.0, 0.0, 0.0 }, respond(navigation(0, 0, 2, 0))));
  EXPECT_EQ(1u, responses_.size());
  // Entries 3 and 4 are not read, so they may hold anything.
  NavigationData unreadNan = navigation(0, 0, 2, 0);
  unreadNan.pose[3] = NAN_;
  EXPECT_TRUE(commands({ 0.5, -0.0, 0.0, 0.0 }, respond(unreadNan)));
}

TEST_F(HoverLock, NonFiniteNavigationIsNotKeptForCapture)
{
  Config config;
  config.mode = "0";
  config.z = "1 0 0";
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 1.0, 0)));
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, NAN_, 0)));
  correctSilently(correction(-1, 0, 0));
  // Captured from the last usable message (depth 1), which is also the current one.
  EXPECT_TRUE(commands({ -0.0, -0.0, 0.0, 0.0 }, respond(correction(0, 0, 0))));
}

TEST_F(HoverLock, NonFiniteCorrectionIsLoggedAndDropped)
{
  Config config;
  config.mode = "0";
  config.x = "1 0.001 0";
  config.z = "1 0 0";
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 1.0, 0)));
  // An arming message with a NaN position still arms.
  correctSilently(correction(-1, NAN_, NAN_));
  corrections_.publish(correction(0, NAN_, 0));
  ASSERT_TRUE(node_->waitForOutput(LOG_WARN "Ignoring pixel correction: position x or y is not "
                                            "finite"))
      << node_->output();
  correctSilently(correction(0, 0, INF));
  // The dropped corrections neither captured nor stepped: the capture happens now, at depth 1.5.
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 1.5, 0)));
  EXPECT_TRUE(commands({ 0.2, -0.0, 0.0, 0.0 }, respond(correction(0, 0.2, 0))));
  EXPECT_EQ(1u, responses_.size());
  EXPECT_EQ(1u, quarn_test::countOf(node_->output(), "[ WARN]")) << node_->output();
}

TEST_F(HoverLock, OverflowingErrorIsLoggedAndSkipped)
{
  Config config;
  config.x = "0 0.001 0";  // a zero gain times an infinite error would be NaN
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  // Finite, but the offset ahead of the vehicle overflows to infinity at a heading of 45 degrees.
  const double huge = std::numeric_limits<double>::max();
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(huge, huge, 2, 0.7853981633974483)));
  ASSERT_TRUE(node_->waitForOutput(LOG_WARN "Skipping control step: the error to correct is not finite"))
      << node_->output();
  EXPECT_TRUE(commands({ -0.0, -0.0, 0.0, 0.0 }, respond(navigation(1, 0, 2, 0))));
  EXPECT_EQ(1u, responses_.size());
}

TEST_F(HoverLock, CaptureWaitsForReferencesItCanHold)
{
  Config config;
  config.mode = "0";
  config.z = "1 0 0";
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 1e39, 0)));  // finite, but no float holds it
  correctSilently(correction(-1, 0, 0));
  corrections_.publish(correction(0, 0, 0));
  ASSERT_TRUE(node_->waitForOutput(LOG_WARN "Not capturing references: depth or heading is beyond single "
                                            "precision"))
      << node_->output();
  // Still armed: the next correction captures depth 1 and holds it.
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 1.0, 0)));
  EXPECT_TRUE(commands({ -0.0, -0.0, 0.0, 0.0 }, respond(correction(0, 0, 0))));
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 1.5, 0)));
  EXPECT_TRUE(commands({ -0.0, -0.0, 0.5, 0.0 }, respond(correction(0, 0, 0))));
  EXPECT_EQ(2u, responses_.size());
}

TEST_F(HoverLock, StateTellsHowEachPublishedCommandCameAbout)
{
  Config config;
  config.x = "0.5 0.1 0.05";
  config.z = "1 0 0";
  quarn_test::Inbox<ControllerState> states(nh_, "hover_lock/state");
  ASSERT_NO_FATAL_FAILURE(start(config.xml(), { "_publish_state:=true" }));
  ASSERT_TRUE(states.waitForPublisher()) << node_->output();

  respond(navigation(0, 0, 2, 0));
  // 4 m deep against a target at 2 m: the error -2 saturates the z controller.
  respond(navigation(0, 0, 4, 0));
  // An error that overflows: a skipped step publishes neither a response nor a state.
  const double huge = std::numeric_limits<double>::max();
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(huge, huge, 2, 0.7853981633974483)));
  respond(navigation(0.5, 0.2, 1.9, 0.1));
  ASSERT_TRUE(states.waitForCount(3)) << node_->output();
  EXPECT_TRUE(states.staysAt(3, QUIET));
  ASSERT_EQ(3u, responses_.size());

  for (std::size_t k = 0; k < 3; ++k)
  {
    SCOPED_TRACE(k);
    const ControllerState& state = states.messages()[k];
    const BhResponse& response = responses_.messages()[k];
    EXPECT_TRUE(commands({ state.command[0], state.command[1], state.command[2], state.command[3] }, response));
    EXPECT_EQ(1, state.mode);
    for (std::size_t axis = 0; axis < 4; ++axis)
    {
      SCOPED_TRACE(axis);
      const double sum = state.proportional[axis] + state.integral[axis] + state.derivative[axis];
      EXPECT_EQ(std::max(-1.0, std::min(1.0, sum)), state.output[axis]);
      EXPECT_EQ(sum < -1.0 || sum > 1.0, static_cast<bool>(state.saturated[axis]));
      EXPECT_TRUE(state.dt[axis] >= 0.0 && state.dt[axis] <= 4.0) << state.dt[axis];
    }
  }
  // Measures are the pose errors: target 1 m ahead, then 2 m too deep.
  EXPECT_EQ((ControllerState::_measure_type{ { 1.0, 0.0, 0.0, 0.0 } }), states.messages()[0].measure);
  EXPECT_EQ(2.0, states.messages()[1].measure[2]);
  EXPECT_TRUE(states.messages()[1].saturated[2]);
  EXPECT_EQ(-1.0, states.messages()[1].output[2]);
}

TEST_F(HoverLock, StateIsOffByDefault)
{
  quarn_test::Inbox<ControllerState> states(nh_, "hover_lock/state");
  ASSERT_NO_FATAL_FAILURE(start(Config().xml()));
  respond(navigation(0, 0, 2, 0));
  EXPECT_TRUE(states.staysAt(0, QUIET));
  EXPECT_FALSE(states.waitForPublisher(1, 0.0)) << "~state advertised";
}

namespace
{

// The statuses of one node among the diagnostics received, oldest first.
std::vector<DiagnosticStatus> statusesOf(const quarn_test::Inbox<DiagnosticArray>& diagnostics, const std::string& node)
{
  std::vector<DiagnosticStatus> statuses;
  for (const DiagnosticArray& array : diagnostics.messages())
  {
    for (const DiagnosticStatus& status : array.status)
    {
      if (status.hardware_id == node)
      {
        statuses.push_back(status);
      }
    }
  }
  return statuses;
}

}  // namespace

TEST_F(HoverLock, DiagnosticsWarnDuringAFloodOfNonFiniteDataAndRecover)
{
  ros::NodeHandle global;
  quarn_test::Inbox<DiagnosticArray> diagnostics(global, "/diagnostics");
  ASSERT_NO_FATAL_FAILURE(start(Config().xml()));
  ASSERT_TRUE(diagnostics.waitForPublisher()) << node_->output();
  const std::string node = ns_ + "/hover_lock";
  // Sends message every 20 ms until the node reports a status of level; that status, or a default one.
  const auto feedUntil = [&](const NavigationData& message, int8_t level) {
    const auto reported = [&] {
      const std::vector<DiagnosticStatus> statuses = statusesOf(diagnostics, node);
      return !statuses.empty() && statuses.back().level == level;
    };
    EXPECT_TRUE(quarn_test::waitUntil([&] {
      navigation_.publish(message);
      quarn_test::spinFor(0.02);
      return reported();
    })) << "no status of level "
        << int(level) << "\n"
        << node_->output();
    return reported() ? statusesOf(diagnostics, node).back() : DiagnosticStatus();
  };

  const DiagnosticStatus flooded = feedUntil(navigation(NAN_, 0, 2, 0), DiagnosticStatus::WARN);
  EXPECT_NE(std::string::npos, flooded.name.find("hover_lock")) << flooded.name;
  EXPECT_EQ(0u, flooded.message.find("messages dropped as not finite: ")) << flooded.message;
  const DiagnosticStatus recovered = feedUntil(navigation(0, 0, 2, 0), DiagnosticStatus::OK);
  EXPECT_EQ("Controlling", recovered.message);
  for (const DiagnosticStatus& status : statusesOf(diagnostics, node))
  {
    EXPECT_EQ(flooded.name, status.name);
  }
  // No input, no report: the aggregator then shows the status as stale.
  EXPECT_TRUE(diagnostics.staysAt(diagnostics.size(), 1.5));
}

namespace
{

// Integral terms recomputed from the published state: a few roundings of terms below 10.
const double TERM_TOLERANCE = 1e-9;

// Whether the integral term of axis in after continues the one in before: before's term plus the new integral
// gain times the error of after's step (set-point 0 minus its measure) over its time step.
::testing::AssertionResult integralCarriesOn(const ControllerState& before, const ControllerState& after, double ki,
                                             std::size_t axis)
{
  const double expected = before.integral[axis] - ki * after.measure[axis] * after.dt[axis];
  if (std::abs(expected - after.integral[axis]) <= TERM_TOLERANCE)
  {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "integral term " << after.integral[axis] << ", expected " << expected
                                       << " from " << before.integral[axis];
}

}  // namespace

TEST_F(HoverLock, ReloadedGainsTakeEffectAtTheNextStepWithoutABump)
{
  Config config;
  config.x = "0.5 0.5 0.2";
  ASSERT_NO_FATAL_FAILURE(startWithState(config.xml()));
  respond(navigation(0, 0, 2, 0));
  respond(navigation(0, 0, 2, 0));

  config.x = "0.25 1 0.4";
  const std_srvs::Trigger::Response answer = reload(config.xml());
  EXPECT_TRUE(answer.success);
  EXPECT_EQ("pid_config_x: 0.5 0.5 0.2 -> 0.25 1 0.4", answer.message);
  respond(navigation(0, 0, 2, 0));
  ASSERT_TRUE(states_->waitForCount(3)) << node_->output();
  const ControllerState& before = states_->messages()[1];
  const ControllerState& after = states_->messages()[2];
  EXPECT_EQ(-0.25, after.proportional[0]);
  // The same error as the step before, and the previous error kept: no derivative kick.
  EXPECT_EQ(0.0, after.derivative[0]);
  EXPECT_TRUE(integralCarriesOn(before, after, 1.0, 0));
  EXPECT_EQ(before.integral[1], after.integral[1]);
  EXPECT_EQ(2u, quarn_test::countOf(node_->output(), LOG_INFO "config file = ")) << node_->output();
  EXPECT_TRUE(node_->waitForOutput(LOG_INFO "config file = " + config.xml())) << node_->output();
}

TEST_F(HoverLock, RefusedReloadKeepsTheConfigurationInUse)
{
  ros::NodeHandle global;
  quarn_test::Inbox<DiagnosticArray> diagnostics(global, "/diagnostics");
  ASSERT_NO_FATAL_FAILURE(start(Config().xml()));
  EXPECT_TRUE(commands({ 0.5, -0.0, 0.0, 0.0 }, respond(navigation(0, 0, 2, 0))));

  Config shortGains;
  shortGains.x = "5 0";
  Config wrongType;
  wrongType.mode = "one";
  const struct
  {
    std::string text;
    std::string reason;  // whole, or the beginning of a longer one
  } cases[] = {
    { shortGains.xml(), "Cannot use the configuration: pid_config_x holds 2 numbers, needs at least 3" },
    { wrongType.xml(), "Cannot load the configuration: " },
  };
  for (const auto& c : cases)
  {
    SCOPED_TRACE(c.reason);
    const std_srvs::Trigger::Response answer = reload(c.text);
    EXPECT_FALSE(answer.success);
    EXPECT_EQ(0u, answer.message.find(c.reason)) << answer.message;
    EXPECT_TRUE(node_->waitForOutput(LOG_ERROR "Reload refused, the configuration in use stays: " + answer.message))
        << node_->output();
    EXPECT_TRUE(commands({ 0.5, -0.0, 0.0, 0.0 }, respond(navigation(0, 0, 2, 0))));
  }
  EXPECT_NE(std::string::npos, node_->output().find("mode must be an element of type integer")) << node_->output();

  const auto refusedTwice = [&] {
    respond(navigation(0, 0, 2, 0));
    for (const DiagnosticStatus& status : statusesOf(diagnostics, ns_ + "/hover_lock"))
    {
      for (const diagnostic_msgs::KeyValue& value : status.values)
      {
        if (value.key == "Refused reloads" && value.value == "2")
        {
          return true;
        }
      }
    }
    return false;
  };
  EXPECT_TRUE(quarn_test::waitUntil(refusedTwice)) << node_->output();
}

TEST_F(HoverLock, ReloadedModeStartsAfresh)
{
  Config config;
  config.x = config.y = config.z = config.yaw = "1 0 0";
  ASSERT_NO_FATAL_FAILURE(start(config.xml()));
  EXPECT_TRUE(commands({ 1.0, -0.0, 0.0, 0.0 }, respond(navigation(0, 0, 2, 0))));

  config.mode = "0";
  EXPECT_EQ("mode: 1 -> 0", reload(config.xml()).message);
  ASSERT_NO_FATAL_FAILURE(navigate(navigation(0, 0, 4.5, 0.3)));
  EXPECT_EQ(1u, responses_.size()) << "mode 0 answered navigation data";
  // The first correction captures depth and heading where the vehicle is, rather than holding 0 and 0.
  EXPECT_TRUE(commands({ 0.2, -0.3, 0.0, -0.0 }, respond(correction(0, 0.2, -0.3))));

  config.mode = "1";
  EXPECT_EQ("mode: 0 -> 1", reload(config.xml()).message);
  correctSilently(correction(0, 0.2, -0.3));
  EXPECT_TRUE(commands({ 1.0, -0.0, 0.0, 0.0 }, respond(navigation(0, 0, 2, 0))));
}

TEST_F(HoverLock, ReloadedDesiredPoseMovesTheTargetKeepingTheIntegrals)
{
  Config config;
  config.x = "0.5 0.5 0";
  ASSERT_NO_FATAL_FAILURE(startWithState(config.xml()));
  respond(navigation(0, 0, 2, 0));

  config.desiredPose = "2 0 2 0 0 0";
  EXPECT_EQ("desired_pose: 1 0 2 0 0 0 -> 2 0 2 0 0 0", reload(config.xml()).message);
  EXPECT_EQ("no change", reload(config.xml()).message);
  respond(navigation(0, 0, 2, 0));
  ASSERT_TRUE(states_->waitForCount(2)) << node_->output();
  const ControllerState& before = states_->messages()[0];
  const ControllerState& after = states_->messages()[1];
  EXPECT_EQ(2.0, after.measure[0]);
  EXPECT_NE(0.0, before.integral[0]);
  EXPECT_TRUE(integralCarriesOn(before, after, 0.5, 0));
}

TEST_F(HoverLock, LoadsADocumentThatBeginsWithAComment)
{
  ASSERT_NO_FATAL_FAILURE(start("<?xml version=\"1.0\"?>\n<!-- held by the node -->\n" + Config().xml()));
  EXPECT_TRUE(commands({ 0.5, -0.0, 0.0, 0.0 }, respond(navigation(0, 0, 2, 0))));
}

namespace
{

// Runs the node in namespace ns until it ends; expects exit status 1, no abort and exactly one FATAL line,
// which it returns.
std::string fatalLineOf(const std::string& ns)
{
  quarn_test::ChildProcess node = quarn_test::startProcess({ HOVER_LOCK_BINARY, "__ns:=" + ns });
  const std::optional<quarn_test::ExitStatus> status = node.waitExit();
  const std::string output = node.output();
  EXPECT_TRUE(status) << "still running\n" << output;
  EXPECT_EQ("exit 1", status ? status->describe() : "running") << output;
  EXPECT_EQ(std::string::npos, output.find("terminate called")) << output;
  EXPECT_EQ(1u, quarn_test::countOf(output, "[FATAL]")) << output;
  const std::size_t at = output.find(LOG_FATAL);
  return at == std::string::npos ? output : output.substr(at, output.find('\n', at) - at);
}

// How to fill the parameter from file in namespace ns, as the FATAL lines say it.
std::string howToFill(const std::string& ns, const std::string& file)
{
  return "it must hold the text of a configuration document; fill it from a file with roslaunch quarn_dev "
         "hover_lock.launch config:=" +
         file + ", with <param name=\"hover_lock_config\" textfile=\"" + file +
         "\"/> in a launch file, or with rosparam set -t " + file + " " + ns + "/hover_lock_config";
}

}  // namespace

TEST(HoverLockStartUp, FailsWithStatus1AndSaysWhatToChange)
{
  const std::string example = QUARN_DEV_SOURCE_DIR "/config/hover_lock_mode1.xml";
  Config shortGains;
  shortGains.y = "0.5, 0";
  Config shortPose;
  shortPose.desiredPose = "1 0 2 0 0";
  std::string noMode = Config().xml();
  noMode.erase(noMode.find("  <mode"), noMode.find("<desired_pose") - noMode.find("  <mode"));
  Config realMode;
  realMode.mode = "1.5";
  std::string integerGains = Config().xml();
  integerGains.replace(integerGains.find("vector\" value=\"0.5 0 0"), 22, "integer\" value=\"1");
  Config negativeFilter;
  negativeFilter.optional = "  <pid_filter_z type=\"real\" value=\"-0.1\"/>\n";
  const std::string modeExample =
      "; mode must be an element of type integer, e.g. <mode type=\"integer\" value=\"1\"/>";
  struct Case
  {
    const char* name;
    std::optional<std::string> param;
    // The FATAL line, with NS for the case's namespace.
    std::string fatal;
  };
  const Case cases[] = {
    { "missing parameter", std::nullopt,
      "Cannot load the configuration: the parameter hover_lock_config is not set in the namespace NS; " },
    { "a file name instead of the text", example + "\n",
      "; NS/hover_lock_config holds \"" + example + "\", which looks like a file name: " },
    { "empty", std::string(""), "; NS/hover_lock_config is empty: " },
    { "not well-formed", std::string("<hover_lock>"), "Cannot load the configuration: SAXParseException" },
    { "short gain vector", shortGains.xml(),
      "Cannot use the configuration: pid_config_y holds 2 numbers, needs at least 3" },
    { "short desired pose", shortPose.xml(),
      "Cannot use the configuration: desired_pose holds 5 numbers, needs at least 6" },
    { "an item missing", noMode, "Cannot load the configuration: Path element not found: mode" + modeExample },
    { "mode not an integer", realMode.xml(),
      "Cannot load the configuration: Invalid 'value' attribute: 1.5 Path: hover_lock/mode" + modeExample },
    { "gains of another type", integerGains,
      "Cannot load the configuration: Type mismatch. Path: hover_lock/pid_config_x; pid_config_x must be an "
      "element of type vector, e.g. <pid_config_x type=\"vector\" value=\"0.5 0.0 0.0\"/>" },
    { "an optional item out of range", negativeFilter.xml(),
      "Cannot use the configuration: pid_filter_z must hold the derivative filter's time constant in s, finite and "
      ">= 0 (0: no filter), e.g. <pid_filter_z type=\"real\" value=\"0.2\"/>; got \"-0.1\"" },
  };
  const std::string ns = quarn_test::testNamespace();
  for (std::size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
  {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string caseNs = ns + "/case" + std::to_string(i);
    if (c.param)
    {
      ros::param::set(caseNs + "/hover_lock_config", *c.param);
    }
    const std::string fatal = fatalLineOf(caseNs);
    std::string expected = c.fatal;
    for (std::size_t at; (at = expected.find("NS")) != std::string::npos;)
    {
      expected.replace(at, 2, caseNs);
    }
    EXPECT_NE(std::string::npos, fatal.find(expected)) << fatal;
    if (i < 2)
    {
      EXPECT_NE(std::string::npos, fatal.find(howToFill(caseNs, i == 0 ? "FILE" : example))) << fatal;
    }
  }
}

TEST(HoverLockStartUp, ParameterOfAnotherTypeCountsAsMissing)
{
  const std::string ns = quarn_test::testNamespace();
  ros::param::set(ns + "/hover_lock_config", 42);
  const std::string fatal = fatalLineOf(ns);
  EXPECT_EQ(0u, fatal.find(LOG_FATAL "Cannot load the configuration: the parameter " + ns +
                           "/hover_lock_config is not a string; " + howToFill(ns, "FILE")))
      << fatal;
}

// The advice of the FATAL lines works on this machine.
TEST(HoverLockStartUp, RosparamSetFromATextFileFillsTheParameter)
{
  const std::string ns = quarn_test::testNamespace();
  const std::string example = QUARN_DEV_SOURCE_DIR "/config/hover_lock_mode1.xml";
  quarn_test::ChildProcess rosparam =
      quarn_test::startProcess({ "rosparam", "set", "-t", example, ns + "/hover_lock_config" });
  const std::optional<quarn_test::ExitStatus> status = rosparam.waitExit();
  ASSERT_TRUE(status && status->code == 0) << rosparam.output();
  quarn_test::ChildProcess node = quarn_test::startProcess({ HOVER_LOCK_BINARY, "__ns:=" + ns });
  ASSERT_TRUE(node.waitForOutput(LOG_INFO "config file = " + quarn_test::readFile(example))) << node.output();
  // A failed load would end the node with status 1 even on an interrupt.
  EXPECT_EQ("exit 0", node.stop().describe()) << node.output();
  EXPECT_EQ(0u, quarn_test::countOf(node.output(), "[FATAL]")) << node.output();
}

// The example rosconsole configuration quiets the INFO lines (configuration echo, one per navigation message)
// and keeps the warnings.
TEST(HoverLockConsole, QuietConfigurationKeepsWarningsOnly)
{
  const std::string ns = quarn_test::testNamespace();
  ros::param::set(ns + "/hover_lock_config", Config().xml());
  quarn_test::ChildProcess node =
      quarn_test::startProcess({ HOVER_LOCK_BINARY, "__ns:=" + ns },
                               { { "ROSCONSOLE_CONFIG_FILE", QUARN_DEV_SOURCE_DIR "/config/rosconsole_quiet.conf" } });
  ros::NodeHandle nh(ns);
  quarn_test::Inbox<BhResponse> responses(nh, "behavior_response");
  ros::Publisher navigation = nh.advertise<NavigationData>("navigator_data", 10);
  ASSERT_TRUE(quarn_test::waitForSubscribers(navigation)) << node.output();
  ASSERT_TRUE(responses.waitForPublisher()) << node.output();
  navigation.publish(::navigation(0, 0, 2, 0));
  ASSERT_TRUE(responses.waitForCount(1)) << node.output();
  // Callbacks run one at a time: once this warning is out, the line of the message before would be too.
  navigation.publish(::navigation(NAN_, 0, 2, 0));
  ASSERT_TRUE(node.waitForOutput(LOG_WARN "Ignoring navigation data")) << node.output();
  EXPECT_EQ("exit 0", node.stop().describe()) << node.output();
  EXPECT_EQ(std::string::npos, node.output().find("[ INFO]")) << node.output();
}

namespace
{

// Starts roslaunch with the package found in this workspace, in namespace ns.
quarn_test::ChildProcess roslaunch(const std::string& ns, const std::vector<std::string>& args)
{
  std::vector<std::string> argv = { "roslaunch" };
  argv.insert(argv.end(), args.begin(), args.end());
  return quarn_test::startProcess(argv, { { "ROS_NAMESPACE", ns },
                                          { "ROS_PACKAGE_PATH", QUARN_DEV_SOURCE_DIR "/.." },
                                          { "CMAKE_PREFIX_PATH", QUARN_DEVEL_PREFIX } });
}

// roslaunch itself takes a while to come up.
const double LAUNCH_TIMEOUT = 30.0;

}  // namespace

TEST(HoverLockLaunch, LoadsTheDefaultExampleBesideTheNode)
{
  const std::string ns = quarn_test::testNamespace();
  quarn_test::ChildProcess launch = roslaunch(ns, { "quarn_dev", "hover_lock.launch" });
  ros::NodeHandle nh(ns);
  quarn_test::Inbox<BhResponse> responses(nh, "behavior_response");
  ros::Publisher navigation = nh.advertise<NavigationData>("navigator_data", 10);
  ASSERT_TRUE(quarn_test::waitForSubscribers(navigation, 1, LAUNCH_TIMEOUT)) << launch.output();
  ASSERT_TRUE(responses.waitForPublisher(1, LAUNCH_TIMEOUT)) << launch.output();

  std::string param;
  EXPECT_TRUE(ros::param::get(ns + "/hover_lock_config", param));
  EXPECT_EQ(quarn_test::readFile(QUARN_DEV_SOURCE_DIR "/config/hover_lock_mode1.xml"), param);
  // The example holds (0, 0, 2, 0); 1 m behind it, x is commanded at the limit whatever the gains' mix.
  navigation.publish(::navigation(-1, 0, 2, 0));
  ASSERT_TRUE(responses.waitForCount(1)) << launch.output();
  EXPECT_TRUE(commands({ 1.0, -0.0, 0.0, 0.0 }, responses.last()));
}

TEST(HoverLockLaunch, RunsRemappedInAGroupWithTheMode0Example)
{
  const std::string ns = quarn_test::testNamespace();
  quarn_test::ChildProcess launch = roslaunch(ns, { QUARN_DEV_SOURCE_DIR "/test/hover_lock_remapped.launch",
                                                    "config:=" QUARN_DEV_SOURCE_DIR "/config/hover_lock_mode0.xml" });
  ros::NodeHandle nh(ns + "/vehicle");
  quarn_test::Inbox<BhResponse> responses(nh, "responses");
  ros::Publisher corrections = nh.advertise<VisualServoingData>("vision/correction", 10);
  ros::Publisher navigation = nh.advertise<NavigationData>("nav", 10);
  ASSERT_TRUE(quarn_test::waitForSubscribers(corrections, 1, LAUNCH_TIMEOUT)) << launch.output();
  ASSERT_TRUE(quarn_test::waitForSubscribers(navigation, 1, LAUNCH_TIMEOUT)) << launch.output();
  ASSERT_TRUE(responses.waitForPublisher(1, LAUNCH_TIMEOUT)) << launch.output();

  // 10 ahead and 20 to the right: the example's x and y gains command both at their limits, towards the target.
  corrections.publish(correction(0, 10, -20));
  ASSERT_TRUE(responses.waitForCount(1)) << launch.output();
  EXPECT_EQ(1.0, responses.last().twist.linear.x);
  EXPECT_EQ(-1.0, responses.last().twist.linear.y);
  EXPECT_EQ(10, responses.last().priority);
}
