// Built only from what quarn_lib exports through catkin: its include path, Eigen, Boost and Poco.
#include <gtest/gtest.h>

#include <quarn_algebra.h>
#include <quarn_pid.h>
#include <quarn_xml/XmlParamDoc.h>
#include <quarn_xml/XmlParamMapper.h>

namespace
{
struct Gains
{
  Eigen::VectorXd pid;
};
}  // namespace

TEST(ExportedHeaders, LibraryBuildsAndLinksDownstream)
{
  quarn::xml::XmlParamMapper<Gains> mapper;
  mapper.mapItem("pid", &Gains::pid);
  mapper.loadXmlString("<c><pid type=\"vector\" value=\"1 0 0\"/></c>");
  ASSERT_EQ(3, mapper.data().pid.size());

  pid::CPid controller;
  controller.init(0.0, mapper.data().pid[0], 0.0, 0.0);
  EXPECT_EQ(-0.5, controller.action(0.5, 0.25));
  EXPECT_EQ(0.0, quarn::algebra::normalizeAngle(0.0));
}
