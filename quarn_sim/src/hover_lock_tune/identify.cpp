// hover_lock_tune identify: the vehicle model a recorded bag shows, written as a model document.

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <quarn_sim/identification.h>
#include <quarn_sim/recording.h>
#include <quarn_sim/vehicle_model.h>
#include <quarn_xml/XmlParamMapper.h>

namespace
{

const char* const USAGE =
    "usage: hover_lock_tune identify BAG -o MODEL.xml [--nav-topic TOPIC] [--cmd-topic TOPIC]\n"
    "\n"
    "Fits the vehicle model to a bag of the vehicle moving: the navigation data (--nav-topic, default\n"
    "navigator_data, quarn_common/NavigationData) and the set-points it received (--cmd-topic, default\n"
    "behavior_response: quarn_common/BhResponse, geometry_msgs/Twist or TwistStamped). Topics match with or\n"
    "without a namespace when only one fits. Prints each estimate with its uncertainty and writes MODEL.xml.\n"
    "Exit status 2, and no model, when the bag cannot be read, lacks a topic or never moves an axis.\n";

struct Options
{
  std::string bag, output, navTopic = "navigator_data", commandTopic = "behavior_response";
};

// Empty when the arguments make sense, else what is wrong.
std::string parse(const std::vector<std::string>& args, Options& o)
{
  for (std::size_t k = 0; k < args.size(); ++k)
  {
    const std::string& a = args[k];
    std::string* value = a == "-o"            ? &o.output
                         : a == "--nav-topic" ? &o.navTopic
                         : a == "--cmd-topic" ? &o.commandTopic
                                              : nullptr;
    if (value != nullptr)
    {
      if (++k == args.size())
      {
        return a + " needs a value";
      }
      *value = args[k];
    }
    else if (!a.empty() && a[0] == '-')
    {
      return "unknown option " + a;
    }
    else if (o.bag.empty())
    {
      o.bag = a;
    }
    else
    {
      return "one bag only";
    }
  }
  return o.bag.empty() ? "no bag given" : o.output.empty() ? "no output given (-o MODEL.xml)" : "";
}

std::string withSigma(const quarn::sim::Estimate& e, const char* format)
{
  char text[96];
  if (std::isfinite(e.sigma))
  {
    std::snprintf(text, sizeof text, (std::string(format) + " +- " + format).c_str(), e.value, e.sigma);
  }
  else
  {
    std::snprintf(text, sizeof text, (std::string(format) + " +- ? (not determined)").c_str(), e.value);
  }
  return text;
}

void print(const quarn::sim::Recording& r, const quarn::sim::Identification& id)
{
  using quarn::sim::AXIS_NAMES;
  const double span = r.navigation.back().t - r.navigation.front().t;
  std::printf("%zu navigation messages on %s (%s, %s) and %zu set-points (%s) on %s over %.1f s\n", r.navigation.size(),
              r.navTopic.c_str(), r.stamped ? "stamped" : "record times",
              r.hasVelocity ? "with velocities" : "poses only", r.commands.size(), r.commandType.c_str(),
              r.commandTopic.c_str(), span);
  if (r.nonFinite + r.outOfOrder > 0)
  {
    std::printf(
        "skipped %zu messages with non-finite values and %zu navigation messages not later than the one "
        "before\n",
        r.nonFinite, r.outOfOrder);
  }
  std::printf("fitted to the %s\n\n", id.fromVelocities ? "recorded velocities and the pose changes over 1 s"
                                                        : "pose changes over 1 s (no velocities in the bag)");
  std::printf("  %-5s %-28s %s\n", "axis", "time constant (s)", "pose change explained");
  for (int i = 0; i < 4; ++i)
  {
    std::printf("  %-5s %-28s %5.1f %%\n", AXIS_NAMES[i], withSigma(id.timeConstant[i], "%.3f").c_str(),
                100 * id.explained[i]);
  }
  std::printf("  delay         %s s\n", withSigma(id.delay, "%.3f").c_str());
  std::printf("  current       x %s   y %s   z %s m/s\n", withSigma(id.current[0], "%.3f").c_str(),
              withSigma(id.current[1], "%.3f").c_str(), withSigma(id.current[2], "%.3f").c_str());
  std::printf("  max_velocity  %.2f %.2f %.2f %.2f (the largest the bag shows: a lower bound)\n", id.maxVelocity[0],
              id.maxVelocity[1], id.maxVelocity[2], id.maxVelocity[3]);
  std::printf("  nav_rate      %.1f Hz, nav_latency %.3f s%s\n", id.navRate, id.navLatency,
              r.stamped ? "" : " (no stamps: any latency is part of the delay)");
  std::printf("  nav_noise     %.3f m, %.3f m, %.3f rad; gust %.3f m/s over %.1f s (from the residuals)\n",
              id.navNoise[0], id.navNoise[1], id.navNoise[2], id.gust[0], id.gust[1]);
  if (!id.fromVelocities)
  {
    double worst = 0;
    for (double c : id.delayCorrelation)
    {
      worst = std::max(worst, std::abs(c));
    }
    std::printf(
        "\nFrom poses alone the delay and the time constants trade off against each other (correlation "
        "up to %.2f): their sum is better known than either. Record the velocities for both.\n",
        worst);
  }
}

}  // namespace

int identifyCommand(const std::vector<std::string>& args)
{
  for (const std::string& a : args)
  {
    if (a == "-h" || a == "--help")
    {
      std::fputs(USAGE, stdout);
      return 0;
    }
  }
  Options options;
  const std::string wrong = parse(args, options);
  if (!wrong.empty())
  {
    std::fprintf(stderr, "identify: %s\n\n%s", wrong.c_str(), USAGE);
    return 2;
  }
  try
  {
    const quarn::sim::Recording recording =
        quarn::sim::readRecording(options.bag, options.navTopic, options.commandTopic);
    const quarn::sim::Identification id = quarn::sim::identify(recording);
    print(recording, id);
    quarn::xml::XmlParamMapper<vehicle_sim::VehicleModelConfig> mapper("vehicle_model");
    vehicle_sim::mapItems(mapper);
    mapper.data() = quarn::sim::modelOf(id);
    const std::string fault = vehicle_sim::modelFault(mapper.data());
    if (!fault.empty())
    {
      throw std::runtime_error("the estimates break the model's rules: " + fault);
    }
    std::ofstream file(options.output);
    file << mapper.getXmlString() << '\n';
    if (!file.good())
    {
      throw std::runtime_error("cannot write " + options.output);
    }
    std::printf("\nwrote %s\n", options.output.c_str());
  }
  catch (const std::runtime_error& e)
  {
    std::fprintf(stderr, "identify: %s\n", e.what());
    return 2;
  }
  return 0;
}
