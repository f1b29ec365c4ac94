// The replies the master watch reads, and the publishers a subscription keeps when it registers again.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quarn_dev/master_watch.h>

using quarn::dev::connectedPublishers;
using quarn::dev::publishersToKeep;
using quarn::dev::topicEntries;
using XmlRpc::XmlRpcValue;

namespace
{

XmlRpcValue array(std::vector<XmlRpcValue> values)
{
  XmlRpcValue result;
  result.setSize(static_cast<int>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i)
  {
    result[static_cast<int>(i)] = values[i];
  }
  return result;
}

// One row of a getBusInfo reply.
XmlRpcValue connection(int id, const std::string& peer, const std::string& direction, const std::string& topic)
{
  return array({ id, peer, direction, "TCPROS", topic, true, "" });
}

}  // namespace

TEST(TopicEntries, KeepsPairsOfStringsOnly)
{
  const XmlRpcValue list = array({ array({ "/rosout", "rosgraph_msgs/Log" }), array({ "/a" }), "/b", array({ "/c", 3 }),
                                   array({ "/d", "x/Y", "z" }), array({ "/e", "p/Q" }) });
  const std::vector<quarn::dev::TopicEntry> entries = topicEntries(list);
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("/rosout", entries[0].name);
  EXPECT_EQ("rosgraph_msgs/Log", entries[0].type);
  EXPECT_EQ("/e", entries[1].name);
  EXPECT_EQ("p/Q", entries[1].type);
  EXPECT_TRUE(topicEntries(XmlRpcValue("not a list")).empty());
}

TEST(ConnectedPublishers, TakesInboundConnectionsOfTheTopicOnly)
{
  const XmlRpcValue busInfo = array({
      connection(1, "http://nav:1/", "i", "/ns/navigator_data"),
      connection(2, "/ns/consumer", "o", "/ns/navigator_data"),
      connection(3, "http://vision:2/", "i", "/ns/pixel_correction"),
      connection(4, "http://nav2:3/", "i", "/ns/navigator_data"),
      array({ 5, "http://short:4/", "i" }),
  });
  EXPECT_EQ((std::vector<std::string>{ "http://nav:1/", "http://nav2:3/" }),
            connectedPublishers(busInfo, "/ns/navigator_data"));
  EXPECT_TRUE(connectedPublishers(busInfo, "/other").empty());
}

// The update replaces a subscription's publishers: one the new master does not know yet must stay connected.
TEST(PublishersToKeep, AddsConnectedPublishersTheMasterDoesNotName)
{
  EXPECT_EQ((std::vector<std::string>{ "http://b:2/", "http://a:1/", "http://c:3/" }),
            publishersToKeep({ "http://b:2/", "http://a:1/" }, { "http://a:1/", "http://c:3/" }));
  EXPECT_EQ((std::vector<std::string>{ "http://a:1/" }), publishersToKeep({}, { "http://a:1/" }));
  EXPECT_TRUE(publishersToKeep({}, {}).empty());
}
