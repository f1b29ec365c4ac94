#ifndef QUARN_DEV_MASTER_WATCH_H
#define QUARN_DEV_MASTER_WATCH_H

// Keeps a node known to the ROS master across a restart of the master.

#include <string>
#include <vector>

#include <ros/callback_queue.h>
#include <ros/node_handle.h>
#include <ros/spinner.h>
#include <ros/wall_timer.h>
#include <xmlrpcpp/XmlRpcValue.h>

namespace quarn::dev
{

/// One topic of a node and its message type, e.g. { "/rosout", "rosgraph_msgs/Log" }.
struct TopicEntry
{
  std::string name;  ///< resolved topic name
  std::string type;  ///< message type, "package/Name"
};

/// The topics of a getPublications or getSubscriptions reply of a node, [[topic, type], ...]; entries that are
/// not a pair of strings are skipped.
std::vector<TopicEntry> topicEntries(const XmlRpc::XmlRpcValue& list);

/// The strings of an XML-RPC array, e.g. the publisher URIs of a registerSubscriber reply; other entries are
/// skipped, and anything but an array gives none.
std::vector<std::string> stringList(const XmlRpc::XmlRpcValue& list);

/// URIs of the publishers the node's subscription of topic is connected to, from the node's getBusInfo reply
/// ([connection id, peer URI, direction "i" or "o", transport, topic, ...] per connection).
std::vector<std::string> connectedPublishers(const XmlRpc::XmlRpcValue& busInfo, const std::string& topic);

/// The publishers a subscription is to keep after a restart: those the master names, then those it is connected
/// to already and the master does not name (a peer that has not registered with the new master yet would
/// otherwise be dropped by the update). No URI twice.
std::vector<std::string> publishersToKeep(const std::vector<std::string>& named,
                                          const std::vector<std::string>& connected);

/// Watches the ROS master and registers the node again when a master answers that does not know it (a master
/// restarted on the same URI, or one that lost its state) or that runs as another process than before: every publisher
/// and subscriber roscpp holds, /rosout among them, and the services, each through the master API; each subscription is
/// then told the publishers the master names, so the node connects to peers that registered before it did. It logs one
/// WARN line, "ROS master restarted: registered N topics and M services again" (N counts publications and
/// subscriptions). While no master answers, nothing changes: the node goes on over the connections it has, and a WARN
/// line says so at most once every 30 s. Parameters are lost with the master; the node keeps what it read.
///
/// The checks run on a thread of the watch's own (a wall timer on a private callback queue with a one-thread
/// spinner), so a master that is slow to answer never delays the node's callbacks. A check first tries a TCP
/// connection to the master with a short timeout, so a missing master costs no XML-RPC error lines.
///
///   ros::init(argc, argv, "my_node");
///   ros::NodeHandle nh;
///   ros::Publisher pub = nh.advertise<std_msgs::String>("out", 1);
///   ros::ServiceServer reload = nh.advertiseService("~reload", onReload);
///   quarn::dev::MasterWatch watch({ reload.getService() });
///   ros::spin();
///
/// Roscpp lists its topics but not its services, so the watch registers roscpp's own logger services
/// (~get_loggers, ~set_logger_level) and the services named to it. Not copyable or movable.
class MasterWatch
{
public:
  /// Starts watching after ros::init. services: resolved names of the node's own services; period: seconds
  /// (> 0) between two checks.
  explicit MasterWatch(std::vector<std::string> services = {}, double period = 1.0);
  /// Stops the checks; waits for one that is running.
  ~MasterWatch();
  MasterWatch(const MasterWatch&) = delete;
  MasterWatch& operator=(const MasterWatch&) = delete;

private:
  void check();
  bool registerAgain();
  bool registerTopics(std::size_t& count);
  bool registerServices(std::size_t& count);

  std::vector<std::string> services_;
  // True while a registration has not gone through completely: the next check tries again even though the
  // master already knows the node from the part that did.
  bool pending_ = false;
  // Process id of the master that answered last; 0 before the first answer.
  int masterPid_ = 0;
  ros::CallbackQueue queue_;
  // Kept for the node's life: it holds the timer on queue_.
  ros::NodeHandle nh_;
  ros::AsyncSpinner spinner_;
  ros::WallTimer timer_;
};

}  // namespace quarn::dev

#endif  // QUARN_DEV_MASTER_WATCH_H
