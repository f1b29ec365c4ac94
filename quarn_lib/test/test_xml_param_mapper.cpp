#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xml_test_helpers.h"

#include <quarn_xml/XmlParamMapper.h>

namespace
{

using quarn::xml::MatrixXd;
using quarn::xml::VectorXd;
using quarn::xml::XmlParamMapper;

struct Config
{
  int mode;
  VectorXd desiredPose;
  VectorXd pidConfigX;
  VectorXd pidConfigY;
  VectorXd pidConfigZ;
  VectorXd pidConfigYaw;
};

struct AllTypes
{
  int count;
  double gain;
  std::string label;
  bool enabled;
  VectorXd offsets;
  VectorXd scales;
  MatrixXd rotation;
  std::vector<std::string> topics;
};

void mapConfig(XmlParamMapper<Config>& m)
{
  m.mapItem("mode", &Config::mode);
  m.mapItem("desired_pose", &Config::desiredPose);
  m.mapItem("pid_config_x", &Config::pidConfigX);
  m.mapItem("pid_config_y", &Config::pidConfigY);
  m.mapItem("pid_config_z", &Config::pidConfigZ);
  m.mapItem("pid_config_yaw", &Config::pidConfigYaw);
}

// Registered out of visiting order, two vectors whose names sort unlike their lengths.
void mapAllTypes(XmlParamMapper<AllTypes>& m)
{
  m.mapItem("w", &AllTypes::topics);
  m.mapItem("v2", &AllTypes::offsets);
  m.mapItem("m", &AllTypes::rotation);
  m.mapItem("b", &AllTypes::enabled);
  m.mapItem("s", &AllTypes::label);
  m.mapItem("v10", &AllTypes::scales);
  m.mapItem("r", &AllTypes::gain);
  m.mapItem("i", &AllTypes::count);
}

std::string item(const std::string& name, const std::string& type, const std::string& value)
{
  return "<" + name + " type=\"" + type + "\" value=\"" + value + "\"/>";
}

// The node's configuration; each vector item holds its own number first.
std::string configText(const std::string& root = "hover_lock", const std::string& leaveOut = "")
{
  std::string text = "<" + root + ">" + item("mode", "integer", "1");
  const std::vector<std::string> names = { "desired_pose", "pid_config_x", "pid_config_y", "pid_config_z",
                                           "pid_config_yaw" };
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] != leaveOut)
      text += item(names[i], "vector", std::to_string(i) + " 0.5 0.25");
  return text + "<unregistered/></" + root + ">";
}

template <typename T>
std::string loadError(XmlParamMapper<T>& m, const std::string& text)
{
  return errorOf([&] { m.loadXmlString(text); });
}

TEST(XmlParamMapper, LoadFillsEveryRegisteredMember)
{
  XmlParamMapper<Config> m;
  EXPECT_EQ(0, m.data().mode);
  EXPECT_EQ(0, m.data().pidConfigX.size());
  mapConfig(m);
  m.loadXmlString(configText());
  EXPECT_EQ(1, m.data().mode);
  EXPECT_EQ((VectorXd(3) << 0, 0.5, 0.25).finished(), m.data().desiredPose);
  EXPECT_EQ((VectorXd(3) << 1, 0.5, 0.25).finished(), m.data().pidConfigX);
  EXPECT_EQ((VectorXd(3) << 2, 0.5, 0.25).finished(), m.data().pidConfigY);
  EXPECT_EQ((VectorXd(3) << 3, 0.5, 0.25).finished(), m.data().pidConfigZ);
  EXPECT_EQ((VectorXd(3) << 4, 0.5, 0.25).finished(), m.data().pidConfigYaw);
}

TEST(XmlParamMapper, EveryTypeIsReadWithItsGetter)
{
  XmlParamMapper<AllTypes> m;
  mapAllTypes(m);
  m.loadXmlString("<r>" + item("i", "integer", "-3") + item("r", "real", "0.125") + item("s", "string", " a b ") +
                  item("b", "boolean", "true") + item("v2", "vector", "1 2") + item("v10", "vector", "7") +
                  item("m", "matrix", "1 0; 0 1") + item("w", "word_array", "nav pixel") + "</r>");
  EXPECT_EQ(-3, m.data().count);
  EXPECT_EQ(0.125, m.data().gain);
  EXPECT_EQ(" a b ", m.data().label);
  EXPECT_TRUE(m.data().enabled);
  EXPECT_EQ(VectorXd::LinSpaced(2, 1, 2), m.data().offsets);
  EXPECT_EQ(VectorXd::Constant(1, 7), m.data().scales);
  EXPECT_EQ(MatrixXd::Identity(2, 2), m.data().rotation);
  EXPECT_EQ((std::vector<std::string>{ "nav", "pixel" }), m.data().topics);
}

TEST(XmlParamMapper, NameCanBeRegisteredOnce)
{
  XmlParamMapper<Config> m;
  m.mapItem("mode", &Config::mode);
  EXPECT_EQ("Name already used: mode", errorOf([&] { m.mapItem("mode", &Config::mode); }));
  EXPECT_EQ("Name already used: mode", errorOf([&] { m.mapItem("mode", &Config::desiredPose); }));
  // Names are compared exactly.
  m.mapItem("Mode", &Config::desiredPose);
  m.loadXmlString("<r>" + item("mode", "integer", "7") + item("Mode", "vector", "1") + "</r>");
  EXPECT_EQ(7, m.data().mode);
  EXPECT_EQ(1, m.data().desiredPose.size());
}

TEST(XmlParamMapper, ItemsAreVisitedByTypeThenName)
{
  XmlParamMapper<AllTypes> m;
  mapAllTypes(m);
  const std::map<std::string, std::string> items = {
    { "i", item("i", "integer", "1") },    { "r", item("r", "real", "1") },       { "s", item("s", "string", "") },
    { "b", item("b", "boolean", "true") }, { "v10", item("v10", "vector", "1") }, { "v2", item("v2", "vector", "1") },
    { "m", item("m", "matrix", "1") },     { "w", item("w", "word_array", "") },
  };
  // Each load stops at the first item, in visiting order, that the document still lacks.
  std::string present;
  std::vector<std::string> visited;
  for (std::string error; (error = loadError(m, "<doc>" + present + "</doc>")) != "no exception";)
  {
    ASSERT_EQ(0u, error.find("Path element not found: ")) << error;
    visited.push_back(error.substr(error.find(": ") + 2));
    present += items.at(visited.back());
  }
  EXPECT_EQ((std::vector<std::string>{ "i", "r", "s", "b", "v10", "v2", "m", "w" }), visited);
}

TEST(XmlParamMapper, FailedLoadKeepsWhatWasReadBefore)
{
  XmlParamMapper<Config> m;
  mapConfig(m);
  m.data().mode = 9;
  m.data().pidConfigY = VectorXd::Zero(6);
  m.data().pidConfigZ = VectorXd::Ones(2);
  EXPECT_EQ("Path element not found: pid_config_y", loadError(m, configText("hover_lock", "pid_config_y")));
  EXPECT_EQ(1, m.data().mode);
  EXPECT_EQ(0, m.data().desiredPose(0));
  EXPECT_EQ(1, m.data().pidConfigX(0));
  EXPECT_EQ(VectorXd::Zero(6), m.data().pidConfigY);
  EXPECT_EQ(0, m.data().pidConfigYaw.size());
  EXPECT_EQ(VectorXd::Ones(2), m.data().pidConfigZ);

  // A vector takes the length of the item read.
  m.loadXmlString(configText());
  EXPECT_EQ(3, m.data().pidConfigY.size());
}

TEST(XmlParamMapper, FailuresPassThroughUnchanged)
{
  XmlParamMapper<Config> m;
  mapConfig(m);
  std::string badMode = configText();
  badMode.replace(badMode.find("\"integer\""), 9, "\"real\"");
  EXPECT_EQ("Type mismatch. Path: hover_lock/mode", loadError(m, badMode));
  EXPECT_EQ(0u, loadError(m, "<hover_lock>").find("SAXParseException"));
  EXPECT_EQ(0, m.data().mode);
}

TEST(XmlParamMapper, RootTagNameIsFixedByTheFirstLoad)
{
  XmlParamMapper<Config> m;
  mapConfig(m);
  m.loadXmlString(configText("first"));
  EXPECT_EQ("Path element not found: first", loadError(m, configText("second")));
}

TEST(XmlParamMapper, LoadsADocumentThatBeginsWithCommentsOrInstructions)
{
  XmlParamMapper<Config> m;
  mapConfig(m);
  m.loadXmlString("<?xml version=\"1.0\"?>\n<!-- example -->\n<?editor keep?>\n" + configText("commented"));
  EXPECT_EQ("commented", m.getRootTagName());
  EXPECT_EQ(1, m.data().mode);
  EXPECT_EQ(4, m.data().pidConfigYaw[0]);
}

TEST(XmlParamMapper, WithoutItemsALoadOnlyParses)
{
  XmlParamMapper<Config> m;
  m.loadXmlString("<anything><x/></anything>");
  EXPECT_EQ(0u, loadError(m, "<a></b>").find("SAXParseException"));
  EXPECT_EQ(0, m.data().mode);
}

TEST(XmlParamMapper, GivenRootTagNameIsKept)
{
  XmlParamMapper<Config> named("first");
  mapConfig(named);
  EXPECT_EQ("first", named.getRootTagName());
  EXPECT_EQ("Path element not found: first", loadError(named, configText("second")));
  named.setRootTagName("");
  named.loadXmlString(configText("second"));
  EXPECT_EQ("second", named.getRootTagName());
  named.setRootTagName("third");
  EXPECT_EQ("Path element not found: third", loadError(named, configText("second")));
}

TEST(XmlParamMapper, WrittenRecordReadsBackEqual)
{
  XmlParamMapper<AllTypes> m("cfg");
  EXPECT_THROW(XmlParamMapper<AllTypes>().getXmlString(), std::runtime_error);
  mapAllTypes(m);
  m.data() = { -5,
               0.1,
               " x y ",
               true,
               VectorXd::LinSpaced(3, 0.1, 0.3),
               VectorXd::Constant(1, -0.0),
               (MatrixXd(2, 2) << 1.0 / 3, 2, 3, 4).finished(),
               { "nav", "pixel" } };
  const std::string text = m.getXmlString();
  EXPECT_EQ(
      "<cfg>\n"
      "\t<i type=\"integer\" value=\"-5\"/>\n"
      "\t<r type=\"real\" value=\"0.10000000000000001\"/>\n"
      "\t<s type=\"string\" value=\" x y \"/>\n"
      "\t<b type=\"boolean\" value=\"true\"/>\n"
      "\t<v10 type=\"vector\" value=\"-0 \"/>\n"
      "\t<v2 type=\"vector\" value=\"0.10000000000000001 0.20000000000000001 0.29999999999999999 \"/>\n"
      "\t<m type=\"matrix\" value=\"0.33333333333333331 2 ; 3 4 ; \"/>\n"
      "\t<w type=\"word_array\" value=\"nav pixel \"/>\n"
      "</cfg>\n",
      text);

  XmlParamMapper<AllTypes> back;
  mapAllTypes(back);
  back.loadXmlString(text);
  EXPECT_EQ(text, back.getXmlString());
  EXPECT_EQ(m.data().offsets, back.data().offsets);
  EXPECT_EQ(m.data().rotation, back.data().rotation);
  EXPECT_TRUE(std::signbit(back.data().scales(0)));
}

}  // namespace
