// The hover_lock binary keeps answering when its peers restart: a new navigation publisher, a consumer of the
// responses that goes and comes back, and the master stopped and started again on the same port, after which
// it registers again so that peers started later find it.

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <diagnostic_msgs/DiagnosticArray.h>
#include <gtest/gtest.h>
#include <ros/ros.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/NavigationData.h>

#include <quarn_test/ros_test_harness.h>

using quarn_common::BhResponse;
using quarn_common::NavigationData;

static ::testing::Environment* const rosEnvironment =
    ::testing::AddGlobalTestEnvironment(new quarn_test::RosEnvironment("restarts_test"));

namespace
{

// Gap between the messages of a steady navigation source.
const double SOURCE_PERIOD = 0.05;
// How soon after a restarted master answers the node must be registered with it again, in s.
const double REGISTER_BOUND = 5.0;
const char* const REGISTERED_AGAIN = "ROS master restarted: registered ";
const char* const NO_MASTER = "No ROS master answers at ";

// Output of a ROS command-line tool run against the test's master.
std::string toolOutput(const std::vector<std::string>& argv)
{
  quarn_test::ChildProcess tool = quarn_test::startProcess(argv);
  EXPECT_EQ("exit 0", tool.waitExit().value_or(quarn_test::ExitStatus{}).describe()) << tool.output();
  return tool.output();
}

// The example configuration holds (0, 0, 2, 0); 1 m behind, its x gains command linear.x at the limit, 1.0.
NavigationData behind()
{
  NavigationData message;
  message.pose = { { -1.0, 0.0, 2.0, 0.0, 0.0, 0.0 } };
  return message;
}

// One hover_lock with the example configuration in the test's namespace, and the peers the test replaces.
class Restarts : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ros::param::set(ns_ + "/hover_lock_config", quarn_test::readFile(QUARN_DEV_SOURCE_DIR "/config/"
                                                                                          "hover_lock_mode1.xml"));
    node_.emplace(quarn_test::startProcess({ HOVER_LOCK_BINARY, "__ns:=" + ns_ }));
    ASSERT_NO_FATAL_FAILURE(startSource());
    ASSERT_NO_FATAL_FAILURE(startConsumer());
  }

  void TearDown() override { EXPECT_EQ("exit 0", node_->stop().describe()) << node_->output(); }

  void startSource()
  {
    navigation_ = nh_.advertise<NavigationData>("navigator_data", 10);
    ASSERT_TRUE(quarn_test::waitForSubscribers(navigation_)) << node_->output();
  }

  void startConsumer()
  {
    responses_.emplace(nh_, "behavior_response");
    ASSERT_TRUE(responses_->waitForPublisher()) << node_->output();
  }

  // Whether one navigation message gets its response.
  ::testing::AssertionResult answers()
  {
    const std::size_t seen = responses_->size();
    navigation_.publish(behind());
    if (!responses_->waitForCount(seen + 1))
    {
      return ::testing::AssertionFailure() << "no response\n" << node_->output();
    }
    if (responses_->last().twist.linear.x != 1.0)
    {
      return ::testing::AssertionFailure() << "linear.x " << responses_->last().twist.linear.x;
    }
    return ::testing::AssertionSuccess();
  }

  const std::string ns_ = quarn_test::testNamespace();
  ros::NodeHandle nh_{ ns_ };
  std::optional<quarn_test::ChildProcess> node_;
  ros::Publisher navigation_;
  std::optional<quarn_test::Inbox<BhResponse>> responses_;
};

}  // namespace

TEST_F(Restarts, AnswersANewNavigationPublisher)
{
  ASSERT_TRUE(answers());
  navigation_.shutdown();
  ASSERT_NO_FATAL_FAILURE(startSource());
  EXPECT_TRUE(answers());
}

TEST_F(Restarts, AnswersAConsumerThatCameBack)
{
  ASSERT_TRUE(answers());
  responses_.reset();
  // Responses into a topic nobody reads, and then the consumer back.
  for (int i = 0; i < 5; ++i)
  {
    navigation_.publish(behind());
    quarn_test::spinFor(SOURCE_PERIOD);
  }
  ASSERT_NO_FATAL_FAILURE(startConsumer());
  EXPECT_TRUE(answers());
  EXPECT_TRUE(node_->running());
}

// The connections between the node and its peers outlive the master; the node must neither stall nor end while
// it has no master, and its diagnostics go on.
TEST_F(Restarts, KeepsAnsweringWhileTheMasterIsDownAndAfterItIsBack)
{
  quarn_test::RosEnvironment& environment = quarn_test::RosEnvironment::get();
  ros::NodeHandle global;
  quarn_test::Inbox<diagnostic_msgs::DiagnosticArray> diagnostics(global, "/diagnostics");
  ASSERT_TRUE(diagnostics.waitForPublisher()) << node_->output();
  ASSERT_TRUE(answers());

  environment.stopMaster();
  EXPECT_TRUE(answers());
  EXPECT_TRUE(answers());
  ASSERT_TRUE(environment.restartMaster()) << "logs in " << environment.workDir();
  EXPECT_TRUE(answers());

  // The node updates its diagnostics at most once a second, from its callbacks: feed it until one comes.
  const std::size_t seen = diagnostics.size();
  EXPECT_TRUE(quarn_test::waitUntil([&] {
    navigation_.publish(behind());
    quarn_test::spinFor(SOURCE_PERIOD);
    return diagnostics.size() > seen;
  })) << node_->output();
  EXPECT_TRUE(node_->running());
}

// After a restart a consumer and a navigation source that start afterwards find the node, the ROS tools show it
// with its topics, and the peers connected before the restart stay connected.
TEST_F(Restarts, RegistersAgainWithARestartedMaster)
{
  quarn_test::RosEnvironment& environment = quarn_test::RosEnvironment::get();
  const std::string node = ns_ + "/hover_lock";
  ASSERT_TRUE(answers());
  environment.stopMaster();
  ASSERT_TRUE(environment.restartMaster()) << "logs in " << environment.workDir();
  EXPECT_TRUE(quarn_test::waitUntil(
      [&] { return quarn_test::masterLists(node, { ns_ + "/behavior_response" }, { ns_ + "/navigator_data" }); },
      REGISTER_BOUND))
      << node_->output();
  ASSERT_TRUE(node_->waitForOutput(REGISTERED_AGAIN));
  EXPECT_EQ(1u, quarn_test::countOf(node_->output(), "ROS master restarted: registered 5 topics and 3 services again"))
      << node_->output();
  EXPECT_TRUE(answers()) << "over the connections made before the restart";

  const std::string nodes = toolOutput({ "/usr/bin/python3", "/usr/bin/rosnode", "list" });
  EXPECT_NE(std::string::npos, nodes.find(node + "\n")) << nodes;
  const std::string info = toolOutput({ "/usr/bin/python3", "/usr/bin/rostopic", "info", ns_ + "/behavior_response" });
  EXPECT_NE(std::string::npos, info.find(node)) << info;

  responses_.reset();
  ASSERT_NO_FATAL_FAILURE(startConsumer());
  navigation_.shutdown();
  ASSERT_NO_FATAL_FAILURE(startSource());
  EXPECT_TRUE(answers());
}

// A master that does not come back: the node answers over its connections, warns once, and still ends cleanly.
TEST_F(Restarts, AnswersWithoutAMasterAndWarnsOnce)
{
  quarn_test::RosEnvironment& environment = quarn_test::RosEnvironment::get();
  ASSERT_TRUE(answers());
  environment.stopMaster();
  ASSERT_TRUE(node_->waitForOutput(NO_MASTER)) << node_->output();
  // Several of the watch's checks go by.
  for (int i = 0; i < 3; ++i)
  {
    EXPECT_TRUE(answers());
    quarn_test::spinFor(1.0);
  }
  EXPECT_TRUE(answers());
  EXPECT_EQ(1u, quarn_test::countOf(node_->output(), NO_MASTER)) << node_->output();
  EXPECT_EQ(0u, quarn_test::countOf(node_->output(), REGISTERED_AGAIN)) << node_->output();
  EXPECT_EQ("exit 0", node_->stop().describe()) << node_->output();
  ASSERT_TRUE(environment.restartMaster()) << "logs in " << environment.workDir();
}
