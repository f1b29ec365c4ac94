#include <quarn_dev/master_watch.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <ros/connection_manager.h>
#include <ros/master.h>
#include <ros/network.h>
#include <ros/ros.h>
#include <ros/service_manager.h>
#include <ros/service_publication.h>
#include <ros/xmlrpc_manager.h>

namespace quarn::dev
{

std::vector<TopicEntry> topicEntries(const XmlRpc::XmlRpcValue& list)
{
  std::vector<TopicEntry> entries;
  if (list.getType() != XmlRpc::XmlRpcValue::TypeArray)
  {
    return entries;
  }
  for (int i = 0; i < list.size(); ++i)
  {
    const std::vector<std::string> pair = stringList(list[i]);
    if (pair.size() == 2 && list[i].size() == 2)
    {
      entries.push_back({ pair[0], pair[1] });
    }
  }
  return entries;
}

std::vector<std::string> stringList(const XmlRpc::XmlRpcValue& list)
{
  std::vector<std::string> strings;
  if (list.getType() != XmlRpc::XmlRpcValue::TypeArray)
  {
    return strings;
  }
  for (int i = 0; i < list.size(); ++i)
  {
    if (list[i].getType() == XmlRpc::XmlRpcValue::TypeString)
    {
      strings.push_back(static_cast<const std::string&>(list[i]));
    }
  }
  return strings;
}

std::vector<std::string> connectedPublishers(const XmlRpc::XmlRpcValue& busInfo, const std::string& topic)
{
  std::vector<std::string> uris;
  if (busInfo.getType() != XmlRpc::XmlRpcValue::TypeArray)
  {
    return uris;
  }
  for (int i = 0; i < busInfo.size(); ++i)
  {
    const XmlRpc::XmlRpcValue& connection = busInfo[i];
    if (connection.getType() != XmlRpc::XmlRpcValue::TypeArray || connection.size() < 5)
    {
      continue;
    }
    const auto isString = [&](int at) { return connection[at].getType() == XmlRpc::XmlRpcValue::TypeString; };
    if (isString(1) && isString(2) && isString(4) && static_cast<const std::string&>(connection[2]) == "i" &&
        static_cast<const std::string&>(connection[4]) == topic)
    {
      uris.push_back(static_cast<const std::string&>(connection[1]));
    }
  }
  return uris;
}

std::vector<std::string> publishersToKeep(const std::vector<std::string>& named,
                                          const std::vector<std::string>& connected)
{
  std::vector<std::string> keep;
  for (const std::vector<std::string>* list : { &named, &connected })
  {
    for (const std::string& uri : *list)
    {
      if (std::find(keep.begin(), keep.end(), uri) == keep.end())
      {
        keep.push_back(uri);
      }
    }
  }
  return keep;
}

namespace
{

// Longest wait for the master's port to accept a connection, in ms.
const int PROBE_TIMEOUT_MS = 500;
// Seconds between two warnings that no master answers, or that one did not take a registration.
const double WARN_PERIOD = 30.0;
// Code of a successful reply of the master and node APIs.
const int API_SUCCESS = 1;

// Whether something accepts a TCP connection on the master's host and port within PROBE_TIMEOUT_MS. Tried
// before any XML-RPC call: the XML-RPC client prints an error line for every refused connection.
bool masterPortOpen()
{
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(ros::master::getHost().c_str(), std::to_string(ros::master::getPort()).c_str(), &hints, &found) !=
      0)
  {
    return false;
  }
  bool open = false;
  for (const addrinfo* address = found; address != nullptr && !open; address = address->ai_next)
  {
    const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
      continue;
    }
    if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0)
    {
      open = true;
    }
    else if (errno == EINPROGRESS)
    {
      pollfd waiting{ fd, POLLOUT, 0 };
      int error = 0;
      socklen_t length = sizeof(error);
      open = ::poll(&waiting, 1, PROBE_TIMEOUT_MS) == 1 &&
             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return open;
}

// Reply code of a master or node API response [code, status, value]; 0 when the response is not one.
int replyCode(const XmlRpc::XmlRpcValue& response)
{
  if (response.getType() != XmlRpc::XmlRpcValue::TypeArray || response.size() != 3 ||
      response[0].getType() != XmlRpc::XmlRpcValue::TypeInt)
  {
    return 0;
  }
  return static_cast<int>(response[0]);
}

// The parameters of a master or node API call: the caller's name, then args.
XmlRpc::XmlRpcValue callerRequest(std::vector<XmlRpc::XmlRpcValue> args)
{
  XmlRpc::XmlRpcValue request;
  request[0] = ros::this_node::getName();
  for (std::size_t i = 0; i < args.size(); ++i)
  {
    request[static_cast<int>(i) + 1] = std::move(args[i]);
  }
  return request;
}

// Calls method of the master with the node's name in front of args; the value of a successful reply in payload.
bool callMaster(const std::string& method, std::vector<XmlRpc::XmlRpcValue> args, XmlRpc::XmlRpcValue& payload)
{
  XmlRpc::XmlRpcValue response;
  return ros::master::execute(method, callerRequest(std::move(args)), response, payload, false);
}

// Calls method of this node's own API (served by roscpp's XML-RPC thread), as the master would; the value of a
// successful reply in payload.
bool callSelf(const std::string& method, std::vector<XmlRpc::XmlRpcValue> args, XmlRpc::XmlRpcValue& payload)
{
  std::string host;
  uint32_t port = 0;
  if (!ros::network::splitURI(ros::XMLRPCManager::instance()->getServerURI(), host, port))
  {
    return false;
  }
  XmlRpc::XmlRpcValue response;
  XmlRpc::XmlRpcClient* client = ros::XMLRPCManager::instance()->getXMLRPCClient(host, static_cast<int>(port), "/");
  const bool called = client->execute(method.c_str(), callerRequest(std::move(args)), response);
  ros::XMLRPCManager::instance()->releaseXMLRPCClient(client);
  if (!called || replyCode(response) != API_SUCCESS)
  {
    return false;
  }
  payload = response[2];
  return true;
}

XmlRpc::XmlRpcValue toArray(const std::vector<std::string>& strings)
{
  XmlRpc::XmlRpcValue array;
  array.setSize(static_cast<int>(strings.size()));
  for (std::size_t i = 0; i < strings.size(); ++i)
  {
    array[static_cast<int>(i)] = strings[i];
  }
  return array;
}

}  // namespace

MasterWatch::MasterWatch(std::vector<std::string> services, double period)
  : services_(std::move(services)), spinner_(1, &queue_)
{
  nh_.setCallbackQueue(&queue_);
  timer_ = nh_.createWallTimer(ros::WallDuration(period), [this](const ros::WallTimerEvent&) { check(); });
  spinner_.start();
}

MasterWatch::~MasterWatch()
{
  timer_.stop();
  spinner_.stop();
}

void MasterWatch::check()
{
  XmlRpc::XmlRpcValue response, payload;
  if (masterPortOpen())
  {
    // The reply code tells a master that does not know the node (-1) from no answer at all.
    ros::master::execute("lookupNode", callerRequest({ ros::this_node::getName() }), response, payload, false);
  }
  const int code = replyCode(response);
  if (code == 0)
  {
    ROS_WARN_THROTTLE(WARN_PERIOD, "No ROS master answers at %s: going on over the existing connections",
                      ros::master::getURI().c_str());
    return;
  }
  // A master with another process id has restarted between two checks, and may know the node from something it
  // registered in between, but not the rest.
  XmlRpc::XmlRpcValue pid;
  const int masterPid =
      callMaster("getPid", {}, pid) && pid.getType() == XmlRpc::XmlRpcValue::TypeInt ? static_cast<int>(pid) : 0;
  const bool restarted = masterPid_ != 0 && masterPid != 0 && masterPid != masterPid_;
  if (masterPid != 0)
  {
    masterPid_ = masterPid;
  }
  // A known node (also one another process has taken the name of since) needs nothing, unless the last
  // registration was cut short.
  if (code == API_SUCCESS && !restarted && !pending_)
  {
    return;
  }
  pending_ = !registerAgain();
}

bool MasterWatch::registerAgain()
{
  std::size_t topics = 0, services = 0;
  if (!registerTopics(topics) || !registerServices(services))
  {
    ROS_WARN_THROTTLE(WARN_PERIOD, "ROS master at %s did not take every registration: trying again",
                      ros::master::getURI().c_str());
    return false;
  }
  if (topics + services > 0)
  {
    ROS_WARN("ROS master restarted: registered %zu topics and %zu services again", topics, services);
  }
  return true;
}

// Topics, their types and the connections come from the node's own API, as the master would ask for them: roscpp's
// topic manager keeps the types of its subscriptions and its publisher update to itself.
bool MasterWatch::registerTopics(std::size_t& count)
{
  const std::string callerApi = ros::XMLRPCManager::instance()->getServerURI();
  XmlRpc::XmlRpcValue publications, subscriptions, busInfo, ignored;
  if (!callSelf("getPublications", {}, publications) || !callSelf("getSubscriptions", {}, subscriptions) ||
      !callSelf("getBusInfo", {}, busInfo))
  {
    return false;
  }
  for (const TopicEntry& topic : topicEntries(publications))
  {
    if (!callMaster("registerPublisher", { topic.name, topic.type, callerApi }, ignored))
    {
      return false;
    }
    ++count;
  }
  for (const TopicEntry& topic : topicEntries(subscriptions))
  {
    XmlRpc::XmlRpcValue named;
    if (!callMaster("registerSubscriber", { topic.name, topic.type, callerApi }, named))
    {
      return false;
    }
    ++count;
    const std::vector<std::string> keep = publishersToKeep(stringList(named), connectedPublishers(busInfo, topic.name));
    if (!callSelf("publisherUpdate", { topic.name, toArray(keep) }, ignored))
    {
      return false;
    }
  }
  return true;
}

bool MasterWatch::registerServices(std::size_t& count)
{
  const std::string callerApi = ros::XMLRPCManager::instance()->getServerURI();
  const std::string serviceApi =
      "rosrpc://" + ros::network::getHost() + ":" + std::to_string(ros::ConnectionManager::instance()->getTCPPort());
  std::vector<std::string> names = { ros::this_node::getName() + "/get_loggers",
                                     ros::this_node::getName() + "/set_logger_level" };
  names.insert(names.end(), services_.begin(), services_.end());
  XmlRpc::XmlRpcValue ignored;
  for (const std::string& name : names)
  {
    // Only services that exist: roscpp's logger services can be switched off, a node's may be shut down.
    if (!ros::ServiceManager::instance()->lookupServicePublication(name))
    {
      continue;
    }
    if (!callMaster("registerService", { name, serviceApi, callerApi }, ignored))
    {
      return false;
    }
    ++count;
  }
  return true;
}

}  // namespace quarn::dev
