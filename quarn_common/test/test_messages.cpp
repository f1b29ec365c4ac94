// Identity and wire layout of the three message types: peers on the vehicle
// use the same definitions, so sums, type strings and byte offsets are binding.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <ros/serialization.h>
#include <ros/serialized_message.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/ControllerState.h>
#include <quarn_common/NavigationData.h>
#include <quarn_common/VisualServoingData.h>

namespace ser = ros::serialization;
using quarn_common::BhResponse;
using quarn_common::ControllerState;
using quarn_common::NavigationData;
using quarn_common::VisualServoingData;

template <typename M>
std::vector<uint8_t> serialize(const M& msg)
{
  std::vector<uint8_t> buf(ser::serializationLength(msg));
  ser::OStream out(buf.data(), static_cast<uint32_t>(buf.size()));
  ser::serialize(out, msg);
  return buf;
}

template <typename M>
M deserialize(std::vector<uint8_t> buf)
{
  M msg;
  ser::IStream in(buf.data(), static_cast<uint32_t>(buf.size()));
  ser::deserialize(in, msg);
  return msg;
}

double readDouble(const std::vector<uint8_t>& buf, size_t offset)
{
  double v;
  std::memcpy(&v, &buf.at(offset), sizeof v);
  return v;
}

TEST(Messages, TypeStringsAndSums)
{
  using ros::message_traits::datatype;
  using ros::message_traits::md5sum;
  EXPECT_STREQ("quarn_common/NavigationData", datatype<NavigationData>());
  EXPECT_STREQ("2671fd74b9687c7d71bc70244c78e85d", md5sum<NavigationData>());
  EXPECT_STREQ("quarn_common/VisualServoingData", datatype<VisualServoingData>());
  EXPECT_STREQ("29fedf3f33e498eeac5975a60185d886", md5sum<VisualServoingData>());
  EXPECT_STREQ("quarn_common/BhResponse", datatype<BhResponse>());
  EXPECT_STREQ("25003f4c2757e3af82f39d8a8b2e3464", md5sum<BhResponse>());
}

TEST(Messages, DefinitionTextsEmbedTheirTypesInOrder)
{
  const std::string nav = ros::message_traits::definition<NavigationData>();
  const std::string bh = ros::message_traits::definition<BhResponse>();
  const std::string vs = ros::message_traits::definition<VisualServoingData>();
  EXPECT_EQ(0u, nav.find("Header header\nfloat64[6] pose\n"));
  EXPECT_NE(std::string::npos, nav.find("float64 altitude\n====="));
  EXPECT_NE(std::string::npos, nav.find("MSG: std_msgs/Header\n"));
  EXPECT_EQ(0u, bh.find("geometry_msgs/Twist twist\nbool[6] \t\t\tactivationLevels\nint32\t   \t\t\tpriority\n"));
  EXPECT_LT(bh.find("MSG: geometry_msgs/Twist"), bh.find("MSG: geometry_msgs/Vector3"));
  EXPECT_LT(vs.find("MSG: geometry_msgs/Pose"), vs.find("MSG: geometry_msgs/Point"));
  EXPECT_LT(vs.find("MSG: geometry_msgs/Point"), vs.find("MSG: geometry_msgs/Quaternion"));
}

TEST(Messages, NavigationDataLayoutFollowsFrameId)
{
  NavigationData nav;
  EXPECT_EQ(312u, ser::serializationLength(nav));
  nav.header.frame_id = "abc";
  nav.pose[0] = 1.5;
  nav.pose[5] = -0.25;
  nav.altitude = 7.0;
  const std::vector<uint8_t> buf = serialize(nav);
  ASSERT_EQ(315u, buf.size());
  EXPECT_EQ(3u, buf[12]);
  EXPECT_EQ(0, std::memcmp(&buf[16], "abc", 3));
  EXPECT_EQ(1.5, readDouble(buf, 19));
  EXPECT_EQ(-0.25, readDouble(buf, 19 + 5 * 8));
  EXPECT_EQ(7.0, readDouble(buf, 307));
}

TEST(Messages, VisualServoingDataLayout)
{
  VisualServoingData vs;
  vs.type = -1;
  vs.correction.position.x = 0.5;
  vs.correction.orientation.w = 2.0;
  const std::vector<uint8_t> buf = serialize(vs);
  ASSERT_EQ(60u, buf.size());
  const std::vector<uint8_t> minusOne = { 0xFF, 0xFF, 0xFF, 0xFF };
  EXPECT_EQ(minusOne, std::vector<uint8_t>(buf.begin(), buf.begin() + 4));
  EXPECT_EQ(0.5, readDouble(buf, 4));
  EXPECT_EQ(2.0, readDouble(buf, 52));
}

TEST(Messages, DefaultBhResponseIsAllZero)
{
  const std::vector<uint8_t> buf = serialize(BhResponse());
  EXPECT_EQ(std::vector<uint8_t>(58, 0), buf);
}

TEST(Messages, BhResponseFlagsAndPriority)
{
  BhResponse bh;
  bh.twist.linear.x = 0.5;
  bh.twist.angular.z = -1.0;
  bh.activationLevels.fill(true);
  bh.priority = 10;
  const std::vector<uint8_t> buf = serialize(bh);
  ASSERT_EQ(58u, buf.size());
  EXPECT_EQ(0.5, readDouble(buf, 0));
  EXPECT_EQ(-1.0, readDouble(buf, 40));
  EXPECT_EQ(std::vector<uint8_t>(6, 1), std::vector<uint8_t>(buf.begin() + 48, buf.begin() + 54));
  const std::vector<uint8_t> priority = { 0x0A, 0x00, 0x00, 0x00 };
  EXPECT_EQ(priority, std::vector<uint8_t>(buf.begin() + 54, buf.end()));
}

TEST(Messages, PublishedBhResponseCarriesItsLength)
{
  BhResponse bh;
  bh.priority = 10;
  const ros::SerializedMessage m = ser::serializeMessage(bh);
  ASSERT_EQ(62u, m.num_bytes);
  EXPECT_EQ(58u, m.buf[0]);
  EXPECT_EQ(0x0A, m.buf[4 + 54]);
}

TEST(Messages, RoundTripKeepsEveryField)
{
  NavigationData nav;
  nav.header.seq = 42;
  nav.header.stamp = ros::Time(12, 345);
  nav.header.frame_id = "world";
  for (size_t i = 0; i < 6; ++i)
  {
    nav.pose[i] = i + 0.5;
    nav.accelerationQuality[i] = -1.0 * i;
  }
  nav.altitude = 3.25;
  EXPECT_EQ(nav, deserialize<NavigationData>(serialize(nav)));

  BhResponse bh;
  bh.twist.linear.y = -0.3;
  bh.activationLevels[5] = true;
  bh.priority = 10;
  EXPECT_EQ(bh, deserialize<BhResponse>(serialize(bh)));
}

TEST(Messages, EmptyFrameIdClearsEarlierValue)
{
  NavigationData nav;
  nav.header.frame_id = "old";
  NavigationData empty;
  std::vector<uint8_t> buf = serialize(empty);
  ser::IStream in(buf.data(), static_cast<uint32_t>(buf.size()));
  ser::deserialize(in, nav);
  EXPECT_EQ("", nav.header.frame_id);
}

TEST(Messages, TruncatedBufferOverruns)
{
  std::vector<uint8_t> buf = serialize(BhResponse());
  buf.pop_back();
  EXPECT_THROW(deserialize<BhResponse>(buf), ros::serialization::StreamOverrunException);

  std::vector<uint8_t> out(57);
  ser::OStream os(out.data(), static_cast<uint32_t>(out.size()));
  EXPECT_THROW(ser::serialize(os, BhResponse()), ros::serialization::StreamOverrunException);
}

TEST(Messages, ControllerStateLayout)
{
  EXPECT_STREQ("quarn_common/ControllerState", ros::message_traits::datatype<ControllerState>());
  ControllerState state;
  state.saturated[3] = true;
  state.command[3] = -1.0;
  // Header 16, mode 4, five arrays of four float64, four bools, two more arrays.
  const std::vector<uint8_t> buf = serialize(state);
  ASSERT_EQ(248u, buf.size());
  EXPECT_EQ(1u, buf[183]);
  EXPECT_EQ(-1.0, readDouble(buf, 240));
}
