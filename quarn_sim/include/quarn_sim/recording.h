#ifndef QUARN_SIM_RECORDING_H
#define QUARN_SIM_RECORDING_H

// A vehicle's navigation data and the set-points it received, read from a ROS bag for identification.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include <geometry_msgs/Twist.h>
#include <geometry_msgs/TwistStamped.h>
#include <rosbag/bag.h>
#include <rosbag/exceptions.h>
#include <rosbag/view.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/NavigationData.h>
#include <quarn_dev/statistics.h>

namespace quarn::sim
{

/// One navigation message: pose (x, y, z in m, yaw in rad) and body velocity (m/s, rad/s) at time t.
struct NavSample
{
  double t = 0;                      ///< s since the recording's origin: the stamp when stamps are set
  std::array<double, 4> pose{};      ///< x, y, z, yaw
  std::array<double, 4> velocity{};  ///< body x, y, world z, yaw rate; zeros when the bag carries none
  double recordLag = 0;              ///< s: record time minus stamp (0 without stamps)
};

/// One set-point as the vehicle received it: components x, y, z, yaw and their activation flags.
struct CommandSample
{
  double t = 0;  ///< s since the recording's origin (record time)
  std::array<double, 4> value{};
  std::array<bool, 4> active{};
};

/// Navigation and set-points of one bag, in time order.
///
///   Recording r = readRecording("dive.bag", "navigator_data", "behavior_response");
///   double span = r.navigation.back().t - r.navigation.front().t;
struct Recording
{
  std::vector<NavSample> navigation;
  std::vector<CommandSample> commands;
  std::string navTopic, commandTopic, commandType;  ///< topics and set-point type as found in the bag
  bool hasVelocity = false;                         ///< some navigation message carries a non-zero velocity
  bool stamped = false;                             ///< navigation times are header stamps (else record times)
  std::size_t nonFinite = 0;                        ///< messages skipped for a non-finite value
  std::size_t outOfOrder = 0;  ///< navigation messages skipped for a time not after the previous one
};

/// A bag that cannot serve: unreadable, a topic missing or of the wrong type, or too little data.
struct RecordingError : std::runtime_error
{
  using std::runtime_error::runtime_error;
};

/// The one topic of topics that is wanted, with or without a namespace prefix ("/auv/navigator_data" fits
/// "navigator_data"); an exact match wins. Throws RecordingError when none or several fit.
inline std::string matchTopic(const std::vector<std::string>& topics, const std::string& wanted);

/// Reads navigation (quarn_common/NavigationData) and set-points (quarn_common/BhResponse, geometry_msgs/Twist
/// or TwistStamped, told apart by type) from the bag at path. Throws RecordingError with a message for the user.
inline Recording readRecording(const std::string& path, const std::string& navTopic, const std::string& commandTopic);

// ---------------------------------------------------------------------------------------------------------------

namespace detail
{

inline std::string withoutLeadingSlash(const std::string& name)
{
  return name.empty() || name[0] != '/' ? name : name.substr(1);
}

inline bool allFinite(const std::array<double, 4>& values)
{
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

inline std::array<double, 4> navigationAxes(const boost::array<double, 6>& entries)
{
  return { entries[0], entries[1], entries[2], entries[5] };
}

// Stamps further than this from the record times come from another clock (s).
constexpr double MAX_STAMP_LAG = 2.0;

// Navigation times from stamps when every message has one on the recorder's clock, else from record times;
// then samples not later than the one before are dropped.
inline void timeNavigation(Recording& r)
{
  std::vector<double> lags;
  bool allStamped = !r.navigation.empty();
  for (const NavSample& s : r.navigation)
  {
    allStamped = allStamped && s.recordLag != 0;
    lags.push_back(s.recordLag);
  }
  const double medianLag = allStamped ? quarn::dev::median(lags) : 0.0;
  r.stamped = allStamped && medianLag >= -0.05 && medianLag <= MAX_STAMP_LAG;
  std::vector<NavSample> kept;
  for (NavSample s : r.navigation)
  {
    if (r.stamped)
    {
      s.t -= s.recordLag;
    }
    else
    {
      s.recordLag = 0;
    }
    if (!kept.empty() && s.t <= kept.back().t)
    {
      ++r.outOfOrder;
      continue;
    }
    kept.push_back(s);
  }
  r.navigation = std::move(kept);
}

}  // namespace detail

inline std::string matchTopic(const std::vector<std::string>& topics, const std::string& wanted)
{
  const std::string name = detail::withoutLeadingSlash(wanted);
  std::vector<std::string> fits;
  for (const std::string& topic : topics)
  {
    const std::string bare = detail::withoutLeadingSlash(topic);
    if (bare == name)
    {
      return topic;
    }
    if (bare.size() > name.size() && bare.compare(bare.size() - name.size(), name.size(), name) == 0 &&
        bare[bare.size() - name.size() - 1] == '/')
    {
      fits.push_back(topic);
    }
  }
  if (fits.size() == 1)
  {
    return fits.front();
  }
  std::string list;
  for (const std::string& topic : fits.empty() ? topics : fits)
  {
    list += (list.empty() ? "" : ", ") + topic;
  }
  if (fits.empty())
  {
    throw RecordingError("no topic " + wanted + " in the bag (topics: " + (list.empty() ? "none" : list) + ")");
  }
  throw RecordingError("several topics fit " + wanted + " (" + list + "): name one in full");
}

namespace detail
{

// The types of set-point the bag may carry.
enum class CommandKind
{
  response,
  twist,
  stampedTwist
};

// Names r's topics after the bag's and checks their types; returns the kind of set-point.
inline CommandKind findTopics(const rosbag::Bag& bag, const std::string& navTopic, const std::string& commandTopic,
                              Recording& r)
{
  rosbag::View all(bag);
  std::vector<std::string> topics;
  for (const rosbag::ConnectionInfo* c : all.getConnections())
  {
    if (std::find(topics.begin(), topics.end(), c->topic) == topics.end())
    {
      topics.push_back(c->topic);
    }
  }
  r.navTopic = matchTopic(topics, navTopic);
  r.commandTopic = matchTopic(topics, commandTopic);
  std::string navType;
  for (const rosbag::ConnectionInfo* c : all.getConnections())
  {
    if (c->topic == r.navTopic)
    {
      navType = c->datatype;
    }
    else if (c->topic == r.commandTopic)
    {
      r.commandType = c->datatype;
    }
  }
  if (navType != ros::message_traits::datatype<quarn_common::NavigationData>())
  {
    throw RecordingError("topic " + r.navTopic + " carries " + navType + ", not quarn_common/NavigationData");
  }
  if (r.commandType == ros::message_traits::datatype<quarn_common::BhResponse>())
  {
    return CommandKind::response;
  }
  if (r.commandType == ros::message_traits::datatype<geometry_msgs::Twist>())
  {
    return CommandKind::twist;
  }
  if (r.commandType == ros::message_traits::datatype<geometry_msgs::TwistStamped>())
  {
    return CommandKind::stampedTwist;
  }
  throw RecordingError("topic " + r.commandTopic + " carries " + r.commandType +
                       ", not quarn_common/BhResponse, geometry_msgs/Twist or geometry_msgs/TwistStamped");
}

// Adds the navigation message m, recorded t seconds after the origin, to r unless a value is not finite.
inline void addNavigation(const rosbag::MessageInstance& m, double t, Recording& r)
{
  const auto nav = m.instantiate<quarn_common::NavigationData>();
  NavSample s;
  s.t = t;
  s.pose = navigationAxes(nav->pose);
  s.velocity = navigationAxes(nav->velocity);
  s.recordLag = nav->header.stamp.isZero() ? 0.0 : (m.getTime() - nav->header.stamp).toSec();
  if (!allFinite(s.pose) || !allFinite(s.velocity))
  {
    ++r.nonFinite;
    return;
  }
  r.hasVelocity = r.hasVelocity || s.velocity != std::array<double, 4>{};
  r.navigation.push_back(s);
}

// Adds the set-point m of kind, recorded t seconds after the origin, to r unless a value is not finite. Twists
// carry no flags: every component is active.
inline void addCommand(const rosbag::MessageInstance& m, CommandKind kind, double t, Recording& r)
{
  CommandSample c;
  c.t = t;
  c.active = { true, true, true, true };
  geometry_msgs::Twist command;
  if (kind == CommandKind::response)
  {
    const auto bh = m.instantiate<quarn_common::BhResponse>();
    command = bh->twist;
    const auto& flags = bh->activationLevels;
    c.active = { flags[0] != 0, flags[1] != 0, flags[2] != 0, flags[5] != 0 };
  }
  else
  {
    command = kind == CommandKind::twist ? *m.instantiate<geometry_msgs::Twist>()
                                         : m.instantiate<geometry_msgs::TwistStamped>()->twist;
  }
  c.value = { command.linear.x, command.linear.y, command.linear.z, command.angular.z };
  if (!allFinite(c.value))
  {
    ++r.nonFinite;
    return;
  }
  r.commands.push_back(c);
}

// Reads the messages of r's two topics, timed from the first of them.
inline void readMessages(const rosbag::Bag& bag, CommandKind kind, Recording& r)
{
  rosbag::View view(bag, rosbag::TopicQuery(std::vector<std::string>{ r.navTopic, r.commandTopic }));
  const ros::Time origin = view.getBeginTime();
  for (const rosbag::MessageInstance& m : view)
  {
    const double t = (m.getTime() - origin).toSec();
    if (m.getTopic() == r.navTopic)
    {
      addNavigation(m, t, r);
    }
    else
    {
      addCommand(m, kind, t, r);
    }
  }
}

}  // namespace detail

inline Recording readRecording(const std::string& path, const std::string& navTopic, const std::string& commandTopic)
{
  Recording r;
  try
  {
    rosbag::Bag bag(path, rosbag::bagmode::Read);
    detail::readMessages(bag, detail::findTopics(bag, navTopic, commandTopic, r), r);
  }
  catch (const rosbag::BagUnindexedException&)
  {
    throw RecordingError(path + " has no index (was the recording cut short?); 'rosbag reindex' may recover it");
  }
  catch (const ros::Exception& e)
  {
    throw RecordingError("cannot read " + path + " (missing, truncated or not a bag?): " + e.what());
  }
  detail::timeNavigation(r);
  if (r.navigation.size() < 2)
  {
    throw RecordingError("fewer than two usable navigation messages on " + r.navTopic);
  }
  if (r.commands.empty())
  {
    throw RecordingError("no usable set-point on " + r.commandTopic);
  }
  return r;
}

}  // namespace quarn::sim

#endif  // QUARN_SIM_RECORDING_H
