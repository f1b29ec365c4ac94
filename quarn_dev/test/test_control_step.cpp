#include <array>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <gtest/gtest.h>

#include <quarn_dev/hover_lock_core.h>

using quarn::dev::ControlStep;
using quarn::dev::DeviceConfig;
using quarn::dev::PerAxis;
using quarn::dev::StepResult;

namespace
{

boost::posix_time::ptime fakeTime;

// Points the controllers' clock at fakeTime for the guard's lifetime.
class FakeClock
{
public:
  FakeClock() : saved_(pid::detail::now)
  {
    fakeTime = boost::posix_time::ptime(boost::gregorian::date(2026, 1, 1));
    pid::detail::now = [] { return fakeTime; };
  }
  ~FakeClock() { pid::detail::now = saved_; }
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  void advanceUs(long us) { fakeTime += boost::posix_time::microseconds(us); }

private:
  boost::posix_time::ptime (*saved_)();
};

DeviceConfig gainsConfig()
{
  DeviceConfig config;
  config.pidConfigX = Eigen::Vector3d(0.8, 0.1, 0.3);
  config.pidConfigY = Eigen::Vector3d(0.6, 0.2, 0.1);
  config.pidConfigZ = Eigen::Vector3d(1.0, 0.05, 0.0);
  config.pidConfigYaw = Eigen::Vector3d(0.5, 0.0, 0.2);
  config.desiredPose = Eigen::VectorXd::Zero(6);
  config.mode = 1;
  return config;
}

void expectSameStep(const StepResult& expected, const StepResult& actual)
{
  ASSERT_EQ(expected.status, actual.status);
  EXPECT_EQ(expected.response, actual.response);
  for (std::size_t axis = 0; axis < 4; ++axis)
  {
    EXPECT_EQ(expected.output[axis], actual.output[axis]) << "axis " << axis;
    EXPECT_EQ(expected.terms[axis].integral, actual.terms[axis].integral) << "axis " << axis;
    EXPECT_EQ(expected.terms[axis].derivative, actual.terms[axis].derivative) << "axis " << axis;
    EXPECT_EQ(expected.terms[axis].dt, actual.terms[axis].dt) << "axis " << axis;
  }
}

}  // namespace

// The node steps on its clock, the campaign on the navigation period in whole milliseconds: the same measures
// and time steps must give the same responses and terms, or the campaign scores another controller.
TEST(ControlStep, ClockDrivenAndGivenStepsAgree)
{
  struct Case
  {
    long elapsedUs;  // as the node's clock sees it
    long periodMs;   // as the campaign passes it
    PerAxis measure;
  };
  const Case cases[] = {
    { 100000, 100, { 3.0, -1.0, 1.0, 0.5 } },    { 100999, 100, { 2.5, -0.8, 0.9, 0.4 } },
    { 33000, 33, { 0.04, 0.02, -0.01, 0.3 } },   { 999, 0, { 0.05, 0.03, -0.02, 0.2 } },
    { 6000000, 6000, { -0.4, 0.3, 0.2, -0.1 } }, { 100000, 100, { -0.3, 0.2, 0.1, -0.05 } },
  };
  FakeClock clock;
  std::array<pid::CPid, 4> nodePids, campaignPids;
  const ControlStep node(nodePids), campaign(campaignPids);
  node.init(gainsConfig());
  campaign.init(gainsConfig());
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.elapsedUs);
    clock.advanceUs(c.elapsedUs);
    expectSameStep(campaign(c.measure, c.periodMs), node(c.measure));
  }
}
