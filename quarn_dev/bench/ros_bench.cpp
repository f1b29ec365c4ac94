// Round-trip and rate benchmarks of hover_lock against two bare answering nodes
// (one silent, one writing an INFO line per message), all three running at once,
// each in its own namespace under a master of our own: navigation at the rates a vehicle
// runs (answers, round trips, CPU share), back-to-back round trips, and stress rates. A
// second hover_lock publishing its controller state is timed in the round trips too.
// Last, calls to hover_lock's ~reload. Writes its figures as JSON.
//
//   ros_bench --samples 5000 --block 10 --vehicle-seconds 6 --rate-seconds 3 --reloads 200 --out ros.json \
//             [--config hover_lock.xml]
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <boost/program_options.hpp>
#include <ros/callback_queue.h>
#include <ros/ros.h>

#include <diagnostic_msgs/DiagnosticArray.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/ControllerState.h>
#include <quarn_common/NavigationData.h>
#include <std_srvs/Trigger.h>

#include "bench_stats.h"
#include <quarn_test/ros_test_harness.h>

namespace
{
using Clock = std::chrono::steady_clock;
using quarn_common::BhResponse;
using quarn_common::NavigationData;

// Long enough for any answer on a loaded machine, short enough to notice a lost one.
const std::chrono::milliseconds ANSWER_TIMEOUT(1000);
const std::chrono::seconds LINK_TIMEOUT(10);
// Deep client queues: the client must never be the one that drops a message.
const uint32_t CLIENT_QUEUE = 100000;
// The nodes in the order they are started and measured.
enum Node
{
  HOVER_LOCK,
  BARE,
  BARE_LOG,
  HOVER_LOCK_STATE
};

struct Options
{
  int samples = 5000;           // round trips per node
  int block = 10;               // consecutive round trips to one node before moving to the next
  int warmup = 200;             // round trips per node before measuring, not counted
  double vehicleSeconds = 6.0;  // sending time per node and vehicle rate
  double rateSeconds = 3.0;     // sending time per node and stress rate
  int reloads = 200;            // calls to ~reload
  int rateWindows = 3;          // alternating windows that each time is cut into
  // Navigation rates of a vehicle: each answer comes long before the next message, so its round trip is
  // timed from the latest message sent.
  std::vector<int> vehicleRatesHz = { 10, 30, 100 };
  std::vector<int> ratesHz = { 1000, 5000, 10000 };
  std::string config = HOVER_LOCK_CONFIG;  // hover_lock's configuration file (mode 1)
  std::string out = "ros_bench.json";
};

/// One answering node as the client sees it.
struct Target
{
  std::string name;
  pid_t pid = 0;
  std::string log;  // the node's output, named when it does not answer
  ros::Publisher pub;
  ros::Subscriber sub;
  std::atomic<unsigned> answered{ 0 };
  Clock::time_point lastAnswer;
  // Timing of paced answers: set while a vehicle-rate window runs.
  std::atomic<bool> timed{ false };
  std::atomic<Clock::rep> lastSent{ 0 };
  std::mutex timesMutex;
  std::vector<double> timesUs;
};

struct RoundTripResult
{
  bench::LatencySummary us;
  unsigned lost = 0;
};

struct RateResult
{
  std::string node;
  int hz = 0;
  unsigned sent = 0;
  unsigned answered = 0;
  double seconds = 0.0;      // length of the sending windows
  double cpuSeconds = 0.0;   // CPU time the node used in them
  bench::LatencySummary us;  // round trips of paced answers (vehicle rates only)
};

double microseconds(Clock::duration d)
{
  return std::chrono::duration<double, std::micro>(d).count();
}

/// Connects the client to target's topics in namespace ns, answers landing on queue.
void connect(Target& t, const std::string& ns, ros::CallbackQueue& queue)
{
  ros::NodeHandle nh(ns);
  nh.setCallbackQueue(&queue);
  t.pub = nh.advertise<NavigationData>("navigator_data", CLIENT_QUEUE);
  t.sub = nh.subscribe<BhResponse>(
      "behavior_response", CLIENT_QUEUE,
      [&t](const BhResponse::ConstPtr&) {
        t.lastAnswer = Clock::now();
        if (t.timed)
        {
          const std::lock_guard<std::mutex> lock(t.timesMutex);
          t.timesUs.push_back(microseconds(t.lastAnswer - Clock::time_point(Clock::duration(t.lastSent))));
        }
        ++t.answered;
      },
      ros::VoidConstPtr(), ros::TransportHints().tcpNoDelay());
}

/// Sends one message and waits for the answer; the round trip in microseconds, or a negative value on time-out.
double roundTrip(Target& t, ros::CallbackQueue& queue, const NavigationData& msg)
{
  const unsigned before = t.answered;
  const Clock::time_point start = Clock::now();
  t.pub.publish(msg);
  while (t.answered == before)
  {
    if (Clock::now() - start > ANSWER_TIMEOUT)
      return -1.0;
    queue.callAvailable(ros::WallDuration(0.01));
  }
  return microseconds(t.lastAnswer - start);
}

/// Waits until both links to the target are up and a message gets answered; throws if not in time.
void awaitAnswers(Target& t, ros::CallbackQueue& queue, const NavigationData& msg)
{
  const Clock::time_point deadline = Clock::now() + LINK_TIMEOUT;
  while (t.pub.getNumSubscribers() == 0 || t.sub.getNumPublishers() == 0 || roundTrip(t, queue, msg) < 0.0)
  {
    if (Clock::now() > deadline)
      throw std::runtime_error(t.name + " does not answer; its output is in " + t.log);
    queue.callAvailable(ros::WallDuration(0.05));
  }
}

/// Subscribes as a plotter of the state of the node in stateNs and a diagnostics aggregator would, on a queue that is
/// never handled: the nodes pay for sending, the client no more than the receipt. Waits for both links.
std::vector<ros::Subscriber> observe(const std::string& stateNs, ros::CallbackQueue& unread)
{
  ros::NodeHandle nh;
  nh.setCallbackQueue(&unread);
  std::vector<ros::Subscriber> subs = {
    nh.subscribe<quarn_common::ControllerState>(
        stateNs + "/hover_lock/state", 1, [](const quarn_common::ControllerState::ConstPtr&) {}, ros::VoidConstPtr(),
        ros::TransportHints()),
    nh.subscribe<diagnostic_msgs::DiagnosticArray>(
        "/diagnostics", 1, [](const diagnostic_msgs::DiagnosticArray::ConstPtr&) {}, ros::VoidConstPtr(),
        ros::TransportHints()),
  };
  const Clock::time_point deadline = Clock::now() + LINK_TIMEOUT;
  for (const ros::Subscriber& sub : subs)
  {
    while (sub.getNumPublishers() == 0)
    {
      if (Clock::now() > deadline)
        throw std::runtime_error("no publisher of " + sub.getTopic());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return subs;
}

/// Round trips to every target in alternating blocks, so drift in the machine's load hits all alike.
std::vector<RoundTripResult> measureRoundTrips(std::vector<std::unique_ptr<Target>>& targets, ros::CallbackQueue& queue,
                                               const NavigationData& msg, const Options& opt)
{
  for (auto& t : targets)
  {
    awaitAnswers(*t, queue, msg);
    for (int i = 0; i < opt.warmup; ++i)
      roundTrip(*t, queue, msg);
  }
  std::vector<std::vector<double>> samples(targets.size());
  std::vector<RoundTripResult> results(targets.size());
  for (int done = 0; done < opt.samples; done += opt.block)
  {
    for (std::size_t k = 0; k < targets.size(); ++k)
    {
      for (int i = done; i < std::min(done + opt.block, opt.samples); ++i)
      {
        const double us = roundTrip(*targets[k], queue, msg);
        if (us < 0.0)
          ++results[k].lost;
        else
          samples[k].push_back(us);
      }
    }
  }
  for (std::size_t k = 0; k < targets.size(); ++k)
    results[k].us = bench::summarize(samples[k]);
  return results;
}

/// Publishes to t at hz for the given time, paced by absolute deadlines, and adds what it sent, the answers
/// (late ones too) and the node's CPU time to r.
void rateWindow(Target& t, int hz, double seconds, const NavigationData& msg, RateResult& r)
{
  const auto count = static_cast<unsigned>(hz * seconds);
  const Clock::duration period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
  const unsigned before = t.answered;
  const double cpuBefore = bench::processCpuSeconds(t.pid);
  const Clock::time_point start = Clock::now();
  for (unsigned sent = 0; sent < count; ++sent)
  {
    const auto due = std::chrono::duration_cast<std::chrono::nanoseconds>((start + sent * period).time_since_epoch());
    const timespec ts{ static_cast<time_t>(due.count() / 1000000000), static_cast<long>(due.count() % 1000000000) };
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    t.lastSent = Clock::now().time_since_epoch().count();
    t.pub.publish(msg);
  }
  const Clock::time_point end = Clock::now();
  r.cpuSeconds += bench::processCpuSeconds(t.pid) - cpuBefore;
  r.seconds += std::chrono::duration<double>(end - start).count();
  r.sent += count;
  // Late answers still count: wait until none has come for 100 ms.
  unsigned seen = t.answered;
  for (int quiet = 0; quiet < 5 && Clock::now() - end < ANSWER_TIMEOUT;)
  {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    quiet = t.answered == seen ? quiet + 1 : 0;
    seen = t.answered;
  }
  r.answered += t.answered - before;
}

/// Fixed-rate runs at hz for the given time against each target, in alternating windows so drift in the machine's
/// load hits all alike; timed: also the round trip of each answer from the latest message sent.
std::vector<RateResult> measureRates(const std::vector<Target*>& targets, int hz, double seconds, bool timed,
                                     const NavigationData& msg, const Options& opt)
{
  std::vector<RateResult> results(targets.size());
  for (std::size_t k = 0; k < targets.size(); ++k)
  {
    results[k].node = targets[k]->name;
    results[k].hz = hz;
    targets[k]->timesUs.clear();
    targets[k]->timed = timed;
  }
  for (int w = 0; w < opt.rateWindows; ++w)
  {
    for (std::size_t k = 0; k < targets.size(); ++k)
      rateWindow(*targets[k], hz, seconds / opt.rateWindows, msg, results[k]);
  }
  for (std::size_t k = 0; k < targets.size(); ++k)
  {
    targets[k]->timed = false;
    const std::lock_guard<std::mutex> lock(targets[k]->timesMutex);
    results[k].us = bench::summarize(targets[k]->timesUs);
  }
  return results;
}

/// Percentiles of round trips as members of object, in microseconds.
void setPercentiles(Poco::JSON::Object& object, const bench::LatencySummary& us)
{
  object.set("p50", us.p50);
  object.set("p90", us.p90);
  object.set("p99", us.p99);
  object.set("max", us.max);
}

/// The rate results as a JSON array; with round trips when timed.
Poco::JSON::Array::Ptr ratesJson(const std::vector<RateResult>& rates, bool timed)
{
  Poco::JSON::Array::Ptr array = new Poco::JSON::Array;
  for (const RateResult& r : rates)
  {
    Poco::JSON::Object::Ptr rate = new Poco::JSON::Object;
    rate->set("node", r.node);
    rate->set("hz", r.hz);
    rate->set("sent", r.sent);
    rate->set("answered", r.answered);
    rate->set("seconds", r.seconds);
    rate->set("cpu", r.seconds > 0.0 ? r.cpuSeconds / r.seconds : 0.0);
    if (timed)
      setPercentiles(*rate, r.us);
    array->add(rate);
  }
  return array;
}

/// Calls service (a std_srvs/Trigger ~reload) count times over one connection, one call at a time; the
/// wall-clock time of each call, in us. The configuration stays as it is, so each call changes nothing.
bench::LatencySummary measureReloads(const std::string& service, int count)
{
  ros::ServiceClient client = ros::NodeHandle().serviceClient<std_srvs::Trigger>(service, true);
  if (!client.waitForExistence(ros::Duration(LINK_TIMEOUT.count())))
    throw std::runtime_error("no service " + service);
  std::vector<double> us;
  for (int i = 0; i < count; ++i)
  {
    std_srvs::Trigger trigger;
    const Clock::time_point start = Clock::now();
    if (!client.call(trigger) || !trigger.response.success)
      throw std::runtime_error("reload failed: " + trigger.response.message);
    us.push_back(microseconds(Clock::now() - start));
  }
  return bench::summarize(us);
}

void writeJson(const std::string& path, const Options& opt, const std::vector<std::unique_ptr<Target>>& targets,
               const std::vector<RoundTripResult>& trips, const std::vector<RateResult>& vehicleRates,
               const std::vector<RateResult>& rates, const bench::LatencySummary& reloads)
{
  Poco::JSON::Object::Ptr nodes = new Poco::JSON::Object;
  for (std::size_t k = 0; k < targets.size(); ++k)
  {
    Poco::JSON::Object::Ptr node = new Poco::JSON::Object;
    node->set("samples", trips[k].us.samples);
    node->set("lost", trips[k].lost);
    setPercentiles(*node, trips[k].us);
    nodes->set(targets[k]->name, node);
  }
  Poco::JSON::Object::Ptr roundTrip = new Poco::JSON::Object;
  roundTrip->set("block", opt.block);
  roundTrip->set("nodes", nodes);
  Poco::JSON::Object figures;
  figures.set("roundtrip", roundTrip);
  figures.set("vehicle", ratesJson(vehicleRates, true));
  figures.set("rate", ratesJson(rates, false));
  Poco::JSON::Object::Ptr reload = new Poco::JSON::Object;
  reload->set("samples", reloads.samples);
  setPercentiles(*reload, reloads);
  figures.set("reload", reload);
  std::ofstream out(path);
  figures.stringify(out, 2);
  out << "\n";
  if (!out)
    throw std::runtime_error("cannot write " + path);
}

/// The options of the command line; none when it asked for help (printed).
std::optional<Options> parseOptions(int argc, char** argv)
{
  namespace po = boost::program_options;
  Options opt;
  po::options_description named("Options");
  named.add_options()("help,h", "print this help")("samples", po::value(&opt.samples)->default_value(opt.samples),
                                                   "round trips per node")(
      "block", po::value(&opt.block)->default_value(opt.block), "consecutive round trips to one node")(
      "vehicle-seconds", po::value(&opt.vehicleSeconds)->default_value(opt.vehicleSeconds),
      "sending time per node and vehicle rate (s)")("rate-seconds",
                                                    po::value(&opt.rateSeconds)->default_value(opt.rateSeconds),
                                                    "sending time per node and stress rate (s)")(
      "reloads", po::value(&opt.reloads)->default_value(opt.reloads), "calls to ~reload")(
      "config", po::value(&opt.config)->default_value(opt.config), "hover_lock's configuration file (mode 1)")(
      "out", po::value(&opt.out)->default_value(opt.out), "JSON file of the figures");
  po::variables_map given;
  po::store(po::parse_command_line(argc, argv, named), given);
  if (given.count("help"))
  {
    std::cout << "Usage: ros_bench [options]\n\nTimes hover_lock's round trips and rates against bare answering "
                 "nodes on a master of its own.\n\n"
              << named;
    return std::nullopt;
  }
  po::notify(given);
  if (opt.samples < 1 || opt.block < 1 || opt.vehicleSeconds <= 0.0 || opt.rateSeconds <= 0.0 || opt.reloads < 1)
    throw std::runtime_error("--samples, --block, --vehicle-seconds, --rate-seconds and --reloads must be positive");
  opt.warmup = std::min(opt.warmup, opt.samples);
  return opt;
}

/// Directory of this executable, where the nodes under test are built too.
std::string ownDirectory()
{
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

int run(const Options& opt)
{
  // Pacing sleeps must wake on time, not up to 50 us late.
  prctl(PR_SET_TIMERSLACK, 1UL);
  quarn_test::RosEnvironment master("ros_bench");
  master.SetUp();
  const std::string config = quarn_test::readFile(opt.config);
  if (config.empty())
    throw std::runtime_error("cannot read " + opt.config);
  ros::param::set("/hover_lock/hover_lock_config", config);
  ros::param::set("/hover_lock_state/hover_lock_config", config);

  // The nodes log in ROS's default format, with its time stamp, as they would on the vehicle.
  quarn_test::EnvVars env = master.childEnvironment();
  env["ROSCONSOLE_FORMAT"] = "";
  const std::string dir = ownDirectory();
  struct Launch
  {
    std::string name;
    std::vector<std::string> argv;
  };
  // Indexes HOVER_LOCK, BARE, BARE_LOG and HOVER_LOCK_STATE.
  const std::vector<Launch> launches = {
    { "hover_lock", { dir + "/hover_lock", "__ns:=/hover_lock" } },
    { "bare", { dir + "/answering_node", "__ns:=/bare" } },
    { "bare_log", { dir + "/answering_node", "__ns:=/bare_log", "--log" } },
    { "hover_lock_state", { dir + "/hover_lock", "__ns:=/hover_lock_state", "_publish_state:=true" } },
  };
  std::vector<quarn_test::ChildProcess> nodes;
  nodes.reserve(launches.size());
  ros::CallbackQueue queue;
  std::vector<std::unique_ptr<Target>> targets;
  for (const Launch& l : launches)
  {
    nodes.emplace_back(l.argv, env, master.newLogPath(l.name));
    targets.push_back(std::make_unique<Target>());
    targets.back()->name = l.name;
    targets.back()->pid = nodes.back().pid();
    targets.back()->log = nodes.back().logPath();
    connect(*targets.back(), "/" + l.name, queue);
  }

  ros::CallbackQueue unread;
  const std::vector<ros::Subscriber> observers = observe("/hover_lock_state", unread);

  NavigationData msg;  // a vehicle near the default target: every controller has work to do
  msg.pose = { 0.3, -0.2, 2.5, 0.0, 0.0, 0.1 };
  const std::vector<RoundTripResult> trips = measureRoundTrips(targets, queue, msg, opt);

  ros::AsyncSpinner spinner(1, &queue);
  spinner.start();
  const std::vector<Target*> rated = { targets[HOVER_LOCK].get(), targets[BARE_LOG].get(), targets[BARE].get(),
                                       targets[HOVER_LOCK_STATE].get() };
  const auto measureAll = [&](const std::vector<int>& ratesHz, double seconds, bool timed) {
    std::vector<RateResult> all;
    for (int hz : ratesHz)
    {
      for (const RateResult& r : measureRates(rated, hz, seconds, timed, msg, opt))
        all.push_back(r);
    }
    return all;
  };
  const std::vector<RateResult> vehicleRates = measureAll(opt.vehicleRatesHz, opt.vehicleSeconds, true);
  const std::vector<RateResult> rates = measureAll(opt.ratesHz, opt.rateSeconds, false);
  spinner.stop();
  const bench::LatencySummary reloads = measureReloads("/hover_lock/hover_lock/reload", opt.reloads);
  writeJson(opt.out, opt, targets, trips, vehicleRates, rates, reloads);

  for (quarn_test::ChildProcess& node : nodes)
    node.stop();
  master.TearDown();
  return 0;
}
}  // namespace

int main(int argc, char** argv)
{
  try
  {
    const std::optional<Options> options = parseOptions(argc, argv);
    return options ? run(*options) : 0;
  }
  catch (const std::exception& e)
  {
    std::cerr << "ros_bench: " << e.what() << "\n";
    return 1;
  }
}
