// Microbenchmarks of the work hover_lock does per message and at start-up, each beside a baseline that
// does the least the same job needs. The report divides each figure by its baseline's.
#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>

#include <quarn_common/NavigationData.h>
#include <quarn_dev/hover_lock_core.h>
#include <quarn_pid.h>
#include <quarn_xml/XmlParamMapper.h>

namespace
{
using quarn::dev::DeviceConfig;

// Measures that vary from step to step, so no result can be computed once and reused.
const std::array<double, 8> MEASURES = { 0.31, -0.12, 2.5, -1.7, 0.004, 0.77, -0.25, 1.3 };

double measureAt(std::size_t i)
{
  return MEASURES[i % MEASURES.size()];
}

/// The least a PID step with clamped integral and output must do.
struct HandPid
{
  double kp = 0.8, ki = 0.05, kd = 0.1;
  double integral = 0.0, previous = 0.0;

  double step(double measure, double dt)
  {
    const double error = -measure;
    integral = std::clamp(integral + error * dt, -10.0, 10.0);
    const double u = kp * error + ki * integral + kd * (error - previous) / dt;
    previous = error;
    return std::clamp(u, -1.0, 1.0);
  }
};

void handPidStep(benchmark::State& state)
{
  HandPid pid;
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(pid.step(measureAt(i++), 0.05));
}
BENCHMARK(handPidStep);

void cpidStep(benchmark::State& state)
{
  pid::CPid pid;
  pid.init(0.0, 0.8, 0.05, 0.1);
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(pid.action(measureAt(i++), 0.05));
}
BENCHMARK(cpidStep);

void cpidFilteredStep(benchmark::State& state)
{
  pid::CPid pid;
  pid.init(0.0, 0.8, 0.05, 0.1);
  pid.setDerivativeFilter(0.2);
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(pid.action(measureAt(i++), 0.05));
}
BENCHMARK(cpidFilteredStep);

void localClockRead(benchmark::State& state)
{
  for (auto _ : state)
    benchmark::DoNotOptimize(boost::posix_time::microsec_clock::local_time());
}
BENCHMARK(localClockRead);

void cpidClockStep(benchmark::State& state)
{
  pid::CPid pid;
  pid.init(0.0, 0.8, 0.05, 0.1);
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(pid.action(measureAt(i++)));
}
BENCHMARK(cpidClockStep);

quarn::dev::NavigationPose poseAt(std::size_t i)
{
  return { measureAt(i), measureAt(i + 1), measureAt(i + 2), 0.0, 0.0, measureAt(i + 3) };
}

// The one sine and cosine of the heading that any turn into the vehicle frame needs.
void headingSinCos(benchmark::State& state)
{
  std::size_t i = 0;
  for (auto _ : state)
  {
    const double yaw = poseAt(i++)[5];
    benchmark::DoNotOptimize(std::cos(yaw) + std::sin(yaw));
  }
}
BENCHMARK(headingSinCos);

void errorComputation(benchmark::State& state)
{
  Eigen::VectorXd desired(6);
  desired << 0.0, 0.0, 2.0, 0.0, 0.0, 0.0;
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(quarn::dev::computeErrorPosition(poseAt(i++), desired));
}
BENCHMARK(errorComputation);

// Rounding to tenths in double precision alone, without the single-precision step.
void roundingInDouble(benchmark::State& state)
{
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(std::round(measureAt(i++) * 10.0) / 10.0);
}
BENCHMARK(roundingInDouble);

void roundingToTenths(benchmark::State& state)
{
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(quarn::dev::tenth(measureAt(i++)));
}
BENCHMARK(roundingToTenths);

const std::string& nodeConfig()
{
  static const std::string text = [] {
    std::ifstream in(HOVER_LOCK_CONFIG);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  return text;
}

void pocoParseConfig(benchmark::State& state)
{
  for (auto _ : state)
  {
    Poco::XML::DOMParser parser;
    Poco::AutoPtr<Poco::XML::Document> doc = parser.parseString(nodeConfig());
    benchmark::DoNotOptimize(doc.get());
  }
}
BENCHMARK(pocoParseConfig);

// As the node does at start-up: register the six items, then load the text.
void mapperLoadConfig(benchmark::State& state)
{
  for (auto _ : state)
  {
    quarn::xml::XmlParamMapper<DeviceConfig> mapper;
    quarn::dev::mapItems(mapper);
    mapper.loadXmlString(nodeConfig());
    benchmark::DoNotOptimize(mapper.data().mode);
  }
}
BENCHMARK(mapperLoadConfig);

// Everything the navigation callback computes for one message in mode 1, ROS calls aside: the copy into the
// latest navigation, the error, four clock-driven steps, the response and the terms ~state and /diagnostics use.
void controlStep(benchmark::State& state)
{
  quarn::xml::XmlParamMapper<DeviceConfig> mapper;
  quarn::dev::mapItems(mapper);
  mapper.loadXmlString(nodeConfig());
  const Eigen::VectorXd& desired = mapper.data().desiredPose;
  std::array<pid::CPid, 4> pids;
  const quarn::dev::ControlStep step(pids);
  step.init(mapper.data());
  quarn_common::NavigationData message, latest;
  message.header.frame_id = "world";
  std::size_t i = 0;
  for (auto _ : state)
  {
    message.pose = poseAt(i++);
    latest = message;
    const Eigen::Vector4d error = quarn::dev::computeErrorPosition(latest.pose, desired);
    benchmark::DoNotOptimize(step({ error[0], error[1], error[2], error[3] }));
  }
}
BENCHMARK(controlStep);
}  // namespace

BENCHMARK_MAIN();
