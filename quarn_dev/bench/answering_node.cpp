// Bare answering node: the floor below which no roscpp node can answer a
// "navigator_data" message with a "behavior_response". It does nothing else, so
// a round trip against it measures roscpp alone. With --log it also writes one
// INFO line per message (after publishing), the floor for a node that must log
// every message.
#include <cstring>

#include <ros/ros.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/NavigationData.h>

namespace
{
ros::Publisher pub;
quarn_common::BhResponse response;  // built once, published unchanged
bool logEach = false;

void answer(const quarn_common::NavigationData&)
{
  pub.publish(response);
  if (logEach)
    ROS_INFO("Received navigation data");
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "answering_node");
  logEach = argc > 1 && std::strcmp(argv[1], "--log") == 0;

  response.activationLevels = { true, true, true, false, false, true };
  response.priority = 10;

  ros::NodeHandle nh;
  pub = nh.advertise<quarn_common::BhResponse>("behavior_response", 1);
  ros::Subscriber sub = nh.subscribe("navigator_data", 1, answer);
  ros::spin();
  return 0;
}
