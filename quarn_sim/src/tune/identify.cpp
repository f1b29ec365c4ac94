// hover_lock_tune identify: the vehicle model a recorded bag shows, written as a model document.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <boost/program_options.hpp>

#include <quarn_sim/documents.h>
#include <quarn_sim/identification.h>
#include <quarn_sim/recording.h>
#include <quarn_sim/vehicle_model.h>
#include <quarn_xml/XmlParamDoc.h>
#include <quarn_xml/XmlParamMapper.h>

#include "subcommands.h"

namespace po = boost::program_options;

namespace quarn::sim
{
namespace
{

// "0.600 +- 0.0012": the estimate to the millimetre or millisecond, its deviation to two significant digits.
std::string withSigma(const Estimate& e)
{
  char text[64];
  if (std::isfinite(e.sigma))
  {
    std::snprintf(text, sizeof text, "%.3f +- %.2g", e.value, e.sigma);
  }
  else
  {
    std::snprintf(text, sizeof text, "%.3f +- ? (not determined)", e.value);
  }
  return text;
}

void print(const Recording& r, const Identification& id)
{
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
    std::printf("  %-5s %-28s %5.1f %%\n", MODEL_AXES[i], withSigma(id.timeConstant[i]).c_str(), 100 * id.explained[i]);
  }
  std::printf("  delay         %s s\n", withSigma(id.delay).c_str());
  std::printf("  current       x %s   y %s   z %s m/s\n", withSigma(id.current[0]).c_str(),
              withSigma(id.current[1]).c_str(), withSigma(id.current[2]).c_str());
  std::printf("  max_velocity  %.2f %.2f %.2f %.2f (fitted, at most the largest set-point seen: a lower bound)\n",
              id.maxVelocity[0], id.maxVelocity[1], id.maxVelocity[2], id.maxVelocity[3]);
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

// Decimals each item of the model is written with: finer than its uncertainty, as a person would write it.
const std::pair<const char*, int> MODEL_DECIMALS[] = { { "time_constant", 3 }, { "delay", 3 },    { "max_velocity", 2 },
                                                       { "current", 3 },       { "gust", 3 },     { "nav_rate", 2 },
                                                       { "nav_latency", 3 },   { "nav_noise", 4 } };

// "+- 0.0012 0.0011 s": one standard deviation per estimate, "?" where the fit could not tell.
std::string deviations(const std::vector<Estimate>& estimates, const char* unit)
{
  std::string line = " One standard deviation of the fit: +-";
  for (const Estimate& e : estimates)
  {
    char text[32];
    std::snprintf(text, sizeof text, std::isfinite(e.sigma) ? " %.2g" : " ?", e.sigma);
    line += text;
  }
  return line + " " + unit + ". ";
}

// The model document of the estimates, each value rounded and each fitted one under a comment with its uncertainty.
quarn::xml::XmlParamDoc modelDocument(const Identification& id)
{
  quarn::xml::XmlParamMapper<quarn::sim::VehicleModelConfig> mapper("vehicle_model");
  quarn::sim::mapItems(mapper);
  mapper.data() = modelOf(id);
  quarn::xml::XmlParamDoc document;
  document.loadXmlString(mapper.getXmlString());
  for (const auto& [name, decimals] : MODEL_DECIMALS)
  {
    const std::string path = std::string("vehicle_model/") + name;
    Eigen::VectorXd values = document.getType(path) == quarn::xml::XmlParamDoc::REAL_TYPE
                                 ? Eigen::VectorXd::Constant(1, document.getReal(path))
                                 : document.getVector(path);
    std::vector<double> rounded;
    for (double value : values)
    {
      rounded.push_back(roundedTo(value, decimals));
    }
    document.setItemValue(path, numbersText(rounded));
  }
  const auto& tau = id.timeConstant;
  document.insertComment("vehicle_model/time_constant", deviations({ tau.begin(), tau.end() }, "s"));
  document.insertComment("vehicle_model/delay", deviations({ id.delay }, "s"));
  document.insertComment("vehicle_model/current", deviations({ id.current.begin(), id.current.end() }, "m/s"));
  document.insertComment("vehicle_model/max_velocity",
                         " Fitted clamp, at most the largest set-point seen: a lower bound. ");
  return document;
}

// The model document of the estimates, checked against the model's rules and written through the library's atomic
// replace.
void writeModel(const Identification& id, const std::string& path)
{
  quarn::xml::XmlParamDoc document = modelDocument(id);
  try
  {
    quarn::sim::loadVehicleModel(document.getXmlString());
  }
  catch (const std::runtime_error& e)
  {
    throw InputError(std::string("the estimates break a rule of the model: ") + e.what());
  }
  try
  {
    document.saveToFile(path);
  }
  catch (const std::runtime_error& e)
  {
    throw InputError(std::string("cannot write ") + path + ": " + e.what());
  }
}

}  // namespace

int identify(int argc, char** argv)
{
  std::string bag, output, navTopic = "navigator_data", commandTopic = "behavior_response";
  po::options_description named("Options");
  named.add_options()("help,h", "show this help and exit")("output,o", po::value(&output), "model document to write")(
      "nav-topic", po::value(&navTopic)->default_value(navTopic), "topic of quarn_common/NavigationData")(
      "cmd-topic", po::value(&commandTopic)->default_value(commandTopic), "topic of BhResponse, Twist or TwistStamped");
  po::options_description hidden;
  hidden.add_options()("bag", po::value(&bag));

  const auto usage = [&](std::ostream& out) {
    out << "Usage: hover_lock_tune identify BAG -o MODEL.xml [options]\n\n"
           "Fits the vehicle model to a bag of the vehicle moving: its navigation data and the set-points it\n"
           "received. Topics match with or without a namespace when only one fits. Uses the recorded velocities\n"
           "when the bag has them, the poses alone otherwise. Prints each estimate with its uncertainty and\n"
           "writes MODEL.xml. Exit status 0 when it wrote the model, 1 for a wrong command line, 2 (and no model)\n"
           "when the bag cannot be read, lacks a topic or never moves an axis.\n\n"
        << named;
  };
  if (const std::optional<int> stop = parseCommandLine(argc, argv, "identify", named, hidden, { "bag" }, usage))
  {
    return *stop;
  }
  if (bag.empty() || output.empty())
  {
    std::cerr << "hover_lock_tune identify: needs BAG and -o MODEL.xml\n\n";
    usage(std::cerr);
    return 1;
  }
  try
  {
    const Recording recording = readRecording(bag, navTopic, commandTopic);
    const Identification id = identifyModel(recording);
    print(recording, id);
    writeModel(id, output);
    std::printf("\nWrote %s\n", output.c_str());
  }
  catch (const std::runtime_error& e)
  {
    std::cerr << "hover_lock_tune identify: " << e.what() << "\n";
    return 2;
  }
  return 0;
}

}  // namespace quarn::sim
