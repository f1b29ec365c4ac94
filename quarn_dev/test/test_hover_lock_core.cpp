#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quarn_dev/config_change.h>
#include <quarn_dev/hover_lock_core.h>

using quarn::dev::behaviorResponse;
using quarn::dev::computeErrorPosition;
using quarn::dev::configShortfall;
using quarn::dev::DeviceConfig;
using quarn::dev::isUsable;
using quarn::dev::NavigationPose;

namespace
{

// Covers the rounding of cos(pi/2) and sin(pi) and the last bit of a wrapped angle.
const double TOLERANCE = 1e-12;
const double NAN_ = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

NavigationPose pose(double x, double y, double z, double yaw)
{
  return NavigationPose{ { x, y, z, 0.0, 0.0, yaw } };
}

Eigen::VectorXd vector(std::initializer_list<double> values)
{
  return Eigen::Map<const Eigen::VectorXd>(values.begin(), static_cast<Eigen::Index>(values.size()));
}

// Equal including the sign of a zero.
::testing::AssertionResult sameDouble(double expected, double actual)
{
  if (expected == actual && std::signbit(expected) == std::signbit(actual))
  {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected " << expected << ", got " << actual;
}

DeviceConfig completeConfig()
{
  DeviceConfig config;
  config.pidConfigX = vector({ 0.5, 0.0, 0.1 });
  config.pidConfigY = vector({ 0.5, 0.0, 0.1 });
  config.pidConfigZ = vector({ 0.5, 0.0, 0.1 });
  config.pidConfigYaw = vector({ 0.5, 0.0, 0.1 });
  config.desiredPose = vector({ 1.0, 2.0, 3.0, 0.0, 0.0, 0.5 });
  return config;
}

}  // namespace

TEST(ComputeErrorPosition, TurnsTheTargetIntoTheVehicleFrame)
{
  const double pi = 3.141592653589793;
  struct Case
  {
    const char* name;
    NavigationPose current;
    Eigen::VectorXd desired;
    Eigen::Vector4d expected;
  };
  const Case cases[] = {
    { "ahead", pose(0, 0, 2, 0), vector({ 1, 0, 2, 0, 0, 0 }), { 1, 0, 0, 0 } },
    { "across to the left", pose(0, 0, 2, 0), vector({ 0, 1, 2, 0, 0, 0 }), { 0, 1, 0, 0 } },
    { "ahead at heading pi/2", pose(0, 0, 2, pi / 2), vector({ 0, 1, 2, 0, 0, pi / 2 }), { 1, 0, 0, 0 } },
    { "behind a vehicle facing -x", pose(1, 2, 0, pi), vector({ 3, 2, 0, 0, 0, pi }), { -2, 0, 0, 0 } },
    { "offset vehicle at heading -pi/2", pose(5, 5, 0, -pi / 2), vector({ 6, 3, 0, 0, 0, -pi / 2 }), { 2, 1, 0, 0 } },
    { "deeper than the target", pose(0, 0, 5, 0), vector({ 0, 0, 3, 0, 0, 0 }), { 0, 0, 2, 0 } },
    { "shallower than the target", pose(0, 0, 1, 0), vector({ 0, 0, 3, 0, 0, 0 }), { 0, 0, -2, 0 } },
    { "heading right of the target", pose(0, 0, 0, 0.5), vector({ 0, 0, 0, 0, 0, 0.25 }), { 0, 0, 0, 0.25 } },
    { "heading across +-pi wraps", pose(0, 0, 0, 3.1), vector({ 0, 0, 0, 0, 0, -3.1 }), { 0, 0, 0, 6.2 - 2 * pi } },
    { "unread entries 3 and 4 ignored",
      NavigationPose{ { 0, 0, 0, 9, 9, 0 } },
      vector({ 1, 0, 0, 7, 7, 0 }),
      { 1, 0, 0, 0 } },
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    const Eigen::Vector4d error = computeErrorPosition(c.current, c.desired);
    for (int i = 0; i < 4; ++i)
    {
      EXPECT_NEAR(c.expected[i], error[i], TOLERANCE) << "element " << i;
    }
  }
}

TEST(Tenth, RoundsInSinglePrecisionHalfAwayFromZeroKeepingZeroSigns)
{
  struct Case
  {
    double output;
    double tenth;
    double negated;
  };
  const Case cases[] = {
    { 0.25, 0.3, -0.3 },         // halfway: away from zero, and exactly the double 0.3
    { -0.25, -0.3, 0.3 },        //
    { 0.04, 0.0, -0.0 },         // rounds to a zero that keeps the product's sign
    { -0.04, -0.0, 0.0 },        //
    { 0.0, 0.0, -0.0 },          //
    { -0.0, -0.0, 0.0 },         //
    { 0.149999999, 0.2, -0.2 },  // 1.49999999 becomes 1.5 in single precision
    { 0.14, 0.1, -0.1 },         //
    { 1.0, 1.0, -1.0 },          //
    { -1.0, -1.0, 1.0 },         //
    { 0.95, 1.0, -1.0 },         //
    { -0.55, -0.6, 0.6 },        //
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.output);
    EXPECT_TRUE(sameDouble(c.tenth, quarn::dev::tenth(c.output)));
    EXPECT_TRUE(sameDouble(c.negated, quarn::dev::negatedTenth(c.output)));
  }
}

TEST(BehaviorResponse, CommandsTheFourAxesWithFlagsAndPriority)
{
  const quarn_common::BhResponse response = behaviorResponse(0.1, -0.2, 0.3, -0.4);
  EXPECT_TRUE(sameDouble(-0.1, response.twist.linear.x));
  EXPECT_TRUE(sameDouble(0.2, response.twist.linear.y));
  EXPECT_TRUE(sameDouble(0.3, response.twist.linear.z));
  EXPECT_TRUE(sameDouble(0.0, response.twist.angular.x));
  EXPECT_TRUE(sameDouble(0.0, response.twist.angular.y));
  EXPECT_TRUE(sameDouble(-0.4, response.twist.angular.z));
  const quarn_common::BhResponse::_activationLevels_type flags = { { 1, 1, 1, 0, 0, 1 } };
  EXPECT_EQ(flags, response.activationLevels);
  EXPECT_EQ(10, response.priority);
}

TEST(ConfigShortfall, NamesTheFirstShortItemAndItsLength)
{
  struct Case
  {
    Eigen::VectorXd DeviceConfig::*field;
    Eigen::VectorXd value;
    std::string expected;
  };
  const Case cases[] = {
    { &DeviceConfig::pidConfigX, vector({ 0.5, 0.0 }), "pid_config_x holds 2 numbers, needs at least 3" },
    { &DeviceConfig::pidConfigY, vector({ 0.5 }), "pid_config_y holds 1 numbers, needs at least 3" },
    { &DeviceConfig::pidConfigZ, Eigen::VectorXd(), "pid_config_z holds 0 numbers, needs at least 3" },
    { &DeviceConfig::pidConfigYaw, vector({ 1, 2 }), "pid_config_yaw holds 2 numbers, needs at least 3" },
    { &DeviceConfig::desiredPose, vector({ 1, 2, 3, 4, 5 }), "desired_pose holds 5 numbers, needs at least 6" },
    { &DeviceConfig::pidConfigX, vector({ 0.5, 0.0, 0.1, 7.0 }), "" },
    { &DeviceConfig::desiredPose, vector({ 1, 2, 3, 4, 5, 6, 7 }), "" },
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.expected);
    DeviceConfig config = completeConfig();
    config.*c.field = c.value;
    EXPECT_EQ(c.expected, configShortfall(config));
  }
}

TEST(ConfigShortfall, ReportsTheFirstOfSeveralShortItems)
{
  DeviceConfig config = completeConfig();
  config.pidConfigYaw = vector({ 1 });
  config.desiredPose = vector({ 1 });
  EXPECT_EQ("pid_config_yaw holds 1 numbers, needs at least 3", configShortfall(config));
}

TEST(IsUsable, RejectsNonFiniteNavigationEntriesThatAStepReads)
{
  struct Case
  {
    int entry;
    double value;
    bool usable;
  };
  const Case cases[] = {
    { 0, NAN_, false }, { 1, INF, false }, { 2, -INF, false }, { 5, NAN_, false },
    { 3, NAN_, true },  { 4, INF, true },  { 0, 1e300, true },
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(::testing::Message() << "entry " << c.entry << " = " << c.value);
    NavigationPose p = pose(1, 2, 3, 0.5);
    p[c.entry] = c.value;
    EXPECT_EQ(c.usable, isUsable(p));
  }
}

TEST(IsUsable, RejectsNonFiniteCorrectionPositionXOrYOnly)
{
  struct Case
  {
    double x, y, z, w;
    bool usable;
  };
  const Case cases[] = {
    { NAN_, 0, 0, 1, false },     { 0, INF, 0, 1, false },     { -INF, NAN_, 0, 1, false },
    { 0.2, -0.3, NAN_, 1, true }, { 0.2, -0.3, 0, INF, true },
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(::testing::Message() << c.x << " " << c.y << " " << c.z << " " << c.w);
    quarn_common::VisualServoingData correction;
    correction.correction.position.x = c.x;
    correction.correction.position.y = c.y;
    correction.correction.position.z = c.z;
    correction.correction.orientation.w = c.w;
    EXPECT_EQ(c.usable, isUsable(correction));
  }
}

namespace
{

const std::string PARAM = "/vehicle/hover_lock_config";

// A document of the given elements under the root element hover_lock.
std::string document(const std::string& elements)
{
  return "<hover_lock>" + elements + "</hover_lock>";
}

// The FATAL text for a text that the node's own mapper refuses; empty if it loads.
std::string failureFor(const std::string& xmlConfig)
{
  quarn::xml::XmlParamMapper<DeviceConfig> mapper;
  quarn::dev::mapItems(mapper);
  try
  {
    mapper.loadXmlString(xmlConfig);
    return "";
  }
  catch (const std::runtime_error& e)
  {
    return quarn::dev::loadFailureMessage(e.what(), xmlConfig, PARAM);
  }
}

// The examples of every item but replaced, with other elements appended.
std::string documentWith(const std::string& replaced, const std::string& elements)
{
  std::string all;
  for (const quarn::dev::ConfigItem& item : quarn::dev::CONFIG_ITEMS)
  {
    all += item.name == replaced ? "" : quarn::dev::exampleElement(item);
  }
  return document(all + elements);
}

}  // namespace

TEST(ConfigItems, ExamplesMakeAUsableConfiguration)
{
  std::string elements;
  for (const quarn::dev::ConfigItem& item : quarn::dev::CONFIG_ITEMS)
  {
    elements += quarn::dev::exampleElement(item);
  }
  quarn::xml::XmlParamMapper<DeviceConfig> mapper;
  quarn::dev::mapItems(mapper);
  mapper.loadXmlString(document(elements));
  EXPECT_EQ("", configShortfall(mapper.data()));
  EXPECT_EQ(1, mapper.data().mode);
  EXPECT_EQ("<mode type=\"integer\" value=\"1\"/>", quarn::dev::exampleElement(quarn::dev::CONFIG_ITEMS[5]));
}

TEST(LoadFailureMessage, NamesEveryUnusableItemWithAnExample)
{
  std::string elements;
  for (const quarn::dev::ConfigItem& item : quarn::dev::CONFIG_ITEMS)
  {
    const std::string name = item.name;
    if (name == "pid_config_y")
    {
      elements += "<pid_config_y type=\"integer\" value=\"1\"/>";
    }
    else if (name == "mode")
    {
      elements += "<mode type=\"integer\" value=\"1.5\"/>";
    }
    else if (name != "desired_pose")
    {
      elements += quarn::dev::exampleElement(item);
    }
  }
  // The load stops at mode, the first it reads; the message goes on to the other two.
  EXPECT_EQ(
      "Invalid 'value' attribute: 1.5 Path: hover_lock/mode"
      "; pid_config_y must be an element of type vector, e.g. <pid_config_y type=\"vector\" "
      "value=\"0.5 0.0 0.0\"/>"
      "; desired_pose must be an element of type vector, e.g. <desired_pose type=\"vector\" "
      "value=\"0.0 0.0 2.0 0.0 0.0 0.0\"/>"
      "; mode must be an element of type integer, e.g. <mode type=\"integer\" value=\"1\"/>",
      failureFor("<!-- commented -->\n" + document(elements)));
}

TEST(LoadFailureMessage, NamesTheProbableMisspellingOfAMissingItem)
{
  const std::string yawHint =
      "; pid_config_yaw must be an element of type vector, e.g. <pid_config_yaw type=\"vector\" value=\"0.5 0.0 "
      "0.0\"/>";
  const std::string modeHint = "; mode must be an element of type integer, e.g. <mode type=\"integer\" value=\"1\"/>";
  const std::string gains = " type=\"vector\" value=\"1 0 0\"/>";
  struct Case
  {
    std::string text, message;
  };
  const Case cases[] = {
    { documentWith("pid_config_yaw", "<pid_config_yaww" + gains),
      "Path element not found: pid_config_yaw" + yawHint +
          "; the element pid_config_yaww is no item: probably pid_config_yaw misspelt" },
    { documentWith("mode", "<Mode type=\"integer\" value=\"1\"/>"),
      "Path element not found: mode" + modeHint + "; the element Mode is no item: probably mode misspelt" },
    // Too far from any missing item, or nothing missing: an unknown element is not mentioned.
    { documentWith("pid_config_yaw", "<pid_gains_yaw_axis" + gains),
      "Path element not found: pid_config_yaw" + yawHint },
    { documentWith("pid_config_x", "<pid_config_x type=\"vectr\" value=\"1 0 0\"/><pid_config_xx" + gains),
      "Type mismatch. Path: hover_lock/pid_config_x; pid_config_x must be an element of type vector, e.g. "
      "<pid_config_x type=\"vector\" value=\"0.5 0.0 0.0\"/>" },
  };
  for (const Case& c : cases)
  {
    EXPECT_EQ(c.message, failureFor(c.text)) << c.text;
  }
}

// A sound document's own elements serve as the items and examples of documents read elsewhere (vehicle models).
TEST(ItemsOf, ReadsASoundDocumentsElementsAsItemsWithExamples)
{
  const std::vector<quarn::dev::DocumentItem> expected = quarn::dev::documentItems();
  const std::vector<quarn::dev::DocumentItem> read = quarn::dev::itemsOf("<!-- c -->" + documentWith("", ""));
  ASSERT_EQ(expected.size(), read.size());
  for (std::size_t i = 0; i < read.size(); ++i)
  {
    EXPECT_EQ(expected[i].name, read[i].name);
    EXPECT_EQ(expected[i].type, read[i].type);
    EXPECT_EQ(expected[i].example, read[i].example);
  }
  EXPECT_TRUE(quarn::dev::itemsOf("<hover_lock>").empty());
}

TEST(LoadFailureMessage, SaysHowToFillTheParameterWhenTheTextIsNoDocument)
{
  const std::string fill =
      "it must hold the text of a configuration document; fill it from a file with roslaunch "
      "quarn_dev hover_lock.launch config:=";
  const std::string fileName = failureFor(" config/hover_lock_mode1.xml\n");
  EXPECT_EQ(0u, fileName.find("SAXParseException")) << fileName;
  EXPECT_NE(std::string::npos,
            fileName.find("; /vehicle/hover_lock_config holds \"config/hover_lock_mode1.xml\", which looks like a "
                          "file name: " +
                          fill +
                          "config/hover_lock_mode1.xml, with <param name=\"hover_lock_config\" "
                          "textfile=\"config/hover_lock_mode1.xml\"/> in a launch file, or with rosparam set -t "
                          "config/hover_lock_mode1.xml /vehicle/hover_lock_config"))
      << fileName;

  const std::string empty = failureFor(" \n\t");
  EXPECT_NE(std::string::npos, empty.find("; /vehicle/hover_lock_config is empty: " + fill + "FILE, ")) << empty;

  // Markup or several lines: a broken document, whose parser message stands alone.
  for (const char* text : { "<hover_lock>", "mode 1\ndesired_pose 0" })
  {
    EXPECT_EQ("parser message", quarn::dev::loadFailureMessage("parser message", text, PARAM)) << text;
  }
}

TEST(AxisOptions, AbsentItemsKeepTheControllerDefaultsAndPresentOnesAreRead)
{
  quarn::dev::AxisOptionSet options;
  EXPECT_EQ("", quarn::dev::readAxisOptions(document("<mode type=\"integer\" value=\"1\"/>"), options));
  for (const quarn::dev::AxisOptions& axis : options)
  {
    EXPECT_EQ(1.0, axis.outputLimit);
    EXPECT_EQ(10.0, axis.integralLimit);
    EXPECT_EQ(0.0, axis.derivativeFilter);
  }
  EXPECT_EQ("", quarn::dev::readAxisOptions(document("<pid_limits_yaw type=\"vector\" value=\"0.3 2.5\"/>"
                                                     "<pid_filter_y type=\"real\" value=\"0.25\"/>"),
                                            options));
  EXPECT_EQ(0.3, options[3].outputLimit);
  EXPECT_EQ(2.5, options[3].integralLimit);
  EXPECT_EQ(0.25, options[1].derivativeFilter);
  EXPECT_EQ(1.0, options[0].outputLimit);
}

TEST(AxisOptions, RefusedItemIsNamedWithAnExample)
{
  const std::string limitsRule =
      " must hold two positive finite numbers, the output limit and the error integral "
      "limit, e.g. <pid_limits_z type=\"vector\" value=\"1.0 10.0\"/>; ";
  const std::string filterRule =
      " must hold the derivative filter's time constant in s, finite and >= 0 (0: no "
      "filter), e.g. <pid_filter_x type=\"real\" value=\"0.2\"/>; ";
  const std::pair<std::string, std::string> cases[] = {
    { "<pid_limits_z type=\"vector\" value=\"1.0\"/>", "pid_limits_z" + limitsRule + "got \"1\"" },
    { "<pid_limits_z type=\"vector\" value=\"1 2 3\"/>", "pid_limits_z" + limitsRule + "got \"1 2 3\"" },
    { "<pid_limits_z type=\"vector\" value=\"0 10\"/>", "pid_limits_z" + limitsRule + "got \"0 10\"" },
    { "<pid_limits_z type=\"vector\" value=\"1 inf\"/>", "pid_limits_z" + limitsRule + "Invalid 'value'" },
    { "<pid_limits_z type=\"real\" value=\"1\"/>", "pid_limits_z" + limitsRule },
    { "<pid_limits_z value=\"1 10\"/>", "pid_limits_z" + limitsRule },
    { "<pid_filter_x type=\"real\" value=\"-0.1\"/>", "pid_filter_x" + filterRule + "got \"-0.1\"" },
    { "<pid_filter_x type=\"real\" value=\"nan\"/>", "pid_filter_x" + filterRule + "Invalid 'value'" },
    { "<pid_filter_x type=\"vector\" value=\"0.1\"/>", "pid_filter_x" + filterRule },
  };
  for (const auto& [element, message] : cases)
  {
    quarn::dev::AxisOptionSet options;
    const std::string refused = quarn::dev::readAxisOptions(document(element), options);
    EXPECT_EQ(0u, refused.find(message)) << element << "\n" << refused;
  }
}

TEST(ConfigChanges, ListsChangedItemsAndOptionsOnePerLine)
{
  DeviceConfig before;
  before.pidConfigX = (Eigen::VectorXd(3) << 2.5, 0.3, 0.5).finished();
  before.pidConfigY = before.pidConfigZ = before.pidConfigYaw = before.pidConfigX;
  before.desiredPose = Eigen::VectorXd::Zero(6);
  before.mode = 1;
  EXPECT_EQ("no change", quarn::dev::configChanges(before, before));
  DeviceConfig after = before;
  after.pidConfigX[2] = 0.2;
  after.axes[3].outputLimit = 0.5;
  after.axes[0].derivativeFilter = 0.25;
  EXPECT_EQ("pid_config_x: 2.5 0.3 0.5 -> 2.5 0.3 0.2\npid_filter_x: 0 -> 0.25\npid_limits_yaw: 1 10 -> 0.5 10",
            quarn::dev::configChanges(before, after));
}
