// hover_lock_tune evaluate: the scenario campaign of a configuration on a vehicle model, as a table, a JSON file
// and a plot.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <boost/program_options.hpp>
#include <ros/package.h>

#include <quarn_sim/campaign.h>

#include "subcommands.h"

namespace po = boost::program_options;

namespace quarn::sim
{
namespace
{

const char* const AXIS_NAMES[] = { "x", "y", "depth", "heading" };
const char* const AXIS_UNITS[] = { "m", "m", "m", "rad" };

Poco::Dynamic::Var orNull(const std::optional<double>& value)
{
  return value ? Poco::Dynamic::Var(*value) : Poco::Dynamic::Var();
}

// Values per axis by name; NaN (none) as null.
Poco::JSON::Object::Ptr perAxis(const Axes& values)
{
  Poco::JSON::Object::Ptr object = new Poco::JSON::Object(true);
  for (int i = 0; i < 4; ++i)
  {
    object->set(AXIS_NAMES[i], orNull(std::isnan(values[i]) ? std::nullopt : std::optional<double>(values[i])));
  }
  return object;
}

Poco::JSON::Object::Ptr thrusterJson(const ThrusterUse& use)
{
  Poco::JSON::Object::Ptr object = new Poco::JSON::Object(true);
  Poco::JSON::Array::Ptr mean = new Poco::JSON::Array;
  for (double thrust : use.meanThrust)
  {
    mean->add(thrust);
  }
  object->set("mean_abs_thrust", mean);
  object->set("saturated_share", use.saturatedShare);
  object->set("reversals_per_second", use.reversalsPerSecond);
  return object;
}

Poco::JSON::Object::Ptr runJson(const RunResult& r)
{
  Poco::JSON::Object::Ptr run = new Poco::JSON::Object(true);
  const Scenario& s = r.scenario;
  run->set("run", s.run);
  run->set("start_offset", perAxis({ s.dx, s.dy, s.dz, s.dyaw }));
  run->set("current", s.current);
  run->set("seed", s.seed);
  run->set("settled", r.settled);
  run->set("settling_time", orNull(r.settled ? std::optional<double>(r.settlingTime) : std::nullopt));
  run->set("rms", perAxis(r.rms));
  run->set("final_error", perAxis(r.finalError));
  run->set("largest_command", perAxis(r.largestCommand));
  run->set("reversals_per_second", r.reversalsPerSecond);
  if (r.thrusters)
  {
    run->set("thrusters", thrusterJson(*r.thrusters));
  }
  run->set("variation_per_second", perAxis(r.variationPerSecond));
  run->set("largest_command_settled", perAxis(r.settledCommand));
  return run;
}

Poco::JSON::Object::Ptr summaryJson(const Summary& s)
{
  Poco::JSON::Object::Ptr summary = new Poco::JSON::Object(true);
  summary->set("runs", s.runs);
  summary->set("settled", s.settled);
  summary->set("settling_p50", orNull(s.settlingP50));
  summary->set("settling_p95", orNull(s.settlingP95));
  summary->set("rms", perAxis(s.rmsMedian));
  summary->set("reversals_per_second", s.reversalsMedian);
  if (s.thrusters)
  {
    summary->set("thrusters", thrusterJson(*s.thrusters));
  }
  summary->set("reversals_p50", s.reversalsMedian);
  summary->set("variation_p50", perAxis(s.variationMedian));
  summary->set("largest_command_settled_p50", perAxis(s.settledCommandMedian));
  return summary;
}

void writeJson(const std::string& path, const Poco::JSON::Object::Ptr& object)
{
  std::ofstream out(path);
  object->stringify(out, 1);
  out << "\n";
  if (!out)
  {
    throw std::runtime_error("cannot write " + path);
  }
}

std::string seconds(const std::optional<double>& value)
{
  std::ostringstream text;
  if (value)
  {
    text << std::fixed << std::setprecision(1) << *value << " s";
  }
  else
  {
    text << "-";
  }
  return text.str();
}

void printTable(std::ostream& out, const std::vector<RunResult>& runs, const Summary& s)
{
  out << "  settled            " << s.settled << " / " << s.runs << " runs (every axis within " << POSITION_TOLERANCE
      << " m and " << HEADING_TOLERANCE << " rad, held " << HOLD << " s)\n";
  out << "  settling time      median " << seconds(s.settlingP50) << ", 95th percentile " << seconds(s.settlingP95)
      << "\n";
  out << "  RMS error (median, last " << RMS_WINDOW << " s)" << std::fixed;
  for (int i = 0; i < 4; ++i)
  {
    out << "   " << AXIS_NAMES[i] << " " << std::setprecision(3) << s.rmsMedian[i] << " " << AXIS_UNITS[i];
  }
  out << "\n  command reversals  " << std::setprecision(2) << s.reversalsMedian << " per second (median)\n";
  if (s.thrusters)
  {
    out << "  thrusters (mean over the runs)\n    mean |thrust|    " << std::setprecision(1);
    for (int j = 0; j < THRUSTERS; ++j)
    {
      out << (j ? " " : "") << s.thrusters->meanThrust[j];
    }
    out << " N (thrusters 1 to 8; 5 to 8 vertical)\n    saturated        " << 100 * s.thrusters->saturatedShare
        << " % of the steps\n    thrust reversals " << std::setprecision(2) << s.thrusters->reversalsPerSecond
        << " per second\n";
  }
  out << "  command variation (median, sum of |change| per second)";
  for (int i = 0; i < 4; ++i)
  {
    out << "   " << AXIS_NAMES[i] << " " << s.variationMedian[i];
  }
  out << "\n  largest command once settled (median of settled runs)";
  for (int i = 0; i < 4; ++i)
  {
    out << "   " << AXIS_NAMES[i] << " " << std::setprecision(1) << s.settledCommandMedian[i];
  }
  out << "\n";
  int shown = 0;
  for (std::size_t i = 0; i < runs.size() && shown < 5; ++i)
  {
    if (!runs[i].settled)
    {
      const Scenario& c = runs[i].scenario;
      out << (shown++ ? "" : "  not settled, e.g.:\n") << "    run " << c.run << ": start offset "
          << std::setprecision(2) << c.dx << ", " << c.dy << ", " << c.dz << " m, " << c.dyaw << " rad, "
          << (c.current ? "with" : "without") << " current, seed " << c.seed << "\n";
    }
  }
}

// The settling times and, per axis, the trace of the run with the largest RMS error, for the plot script.
Poco::JSON::Object::Ptr plotData(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                                 const std::vector<RunResult>& runs, double duration)
{
  Poco::JSON::Object::Ptr data = new Poco::JSON::Object(true);
  Poco::JSON::Array::Ptr settling = new Poco::JSON::Array;
  for (const RunResult& r : runs)
  {
    if (r.settled)
    {
      settling->add(r.settlingTime);
    }
  }
  data->set("settling_times", settling);
  data->set("runs", static_cast<int>(runs.size()));
  Poco::JSON::Array::Ptr worst = new Poco::JSON::Array;
  for (int axis = 0; axis < 4; ++axis)
  {
    std::size_t index = 0;
    for (std::size_t i = 1; i < runs.size(); ++i)
    {
      index = runs[i].rms[axis] > runs[index].rms[axis] ? i : index;
    }
    std::vector<TracePoint> trace;
    runScenario(config, model, runs[index].scenario, duration, &trace);
    Poco::JSON::Array::Ptr t = new Poco::JSON::Array, error = new Poco::JSON::Array, command = new Poco::JSON::Array;
    for (const TracePoint& p : trace)
    {
      t->add(p.t);
      error->add(p.error[axis]);
      command->add(p.command[axis]);
    }
    Poco::JSON::Object::Ptr w = new Poco::JSON::Object(true);
    w->set("axis", AXIS_NAMES[axis]);
    w->set("unit", AXIS_UNITS[axis]);
    w->set("tolerance", axis == 3 ? HEADING_TOLERANCE : POSITION_TOLERANCE);
    w->set("run", runs[index].scenario.run);
    w->set("t", t);
    w->set("error", error);
    w->set("command", command);
    worst->add(w);
  }
  data->set("worst", worst);
  return data;
}

// Runs the package's plot script (no shell between) on the plot data; false when it fails.
bool plot(const Poco::JSON::Object::Ptr& data, const std::string& png)
{
  const std::string package = ros::package::getPath("quarn_sim");
  if (package.empty())
  {
    throw std::runtime_error(
        "cannot find the package quarn_sim for its plot script: source the workspace's setup.bash");
  }
  std::string script = package + "/scripts/plot_campaign.py";
  char dataPath[] = "/tmp/hover_lock_tune_plot_XXXXXX";
  const int fd = mkstemp(dataPath);
  if (fd < 0)
  {
    return false;
  }
  close(fd);
  writeJson(dataPath, data);
  std::string python = "/usr/bin/python3", target = png;
  char* args[] = { python.data(), script.data(), dataPath, target.data(), nullptr };
  pid_t child = 0;
  int status = 1;
  const bool ran = posix_spawn(&child, args[0], nullptr, nullptr, args, environ) == 0 &&
                   waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::remove(dataPath);
  return ran;
}

/// What the command line asks for.
struct EvaluateCommand
{
  CampaignOptions options;
  std::string modelPath, configPath, jsonPath, plotPath;
};

// Fills command from the command line; the status to exit with when evaluate is to stop here.
std::optional<int> parseEvaluateCommand(int argc, char** argv, EvaluateCommand& command)
{
  CampaignOptions& options = command.options;
  po::options_description named("Options");
  named.add_options()("help,h", "show this help and exit")(
      "runs", po::value(&options.runs)->default_value(options.runs),
      "number of runs; run i takes condition i mod 256 of the standard set")(
      "first", po::value(&options.first)->default_value(options.first), "start at this run of the standard set")(
      "duration", po::value(&options.duration)->default_value(options.duration), "simulated seconds per run")(
      "seed", po::value(&options.seed)->default_value(options.seed), "noise seed of run 0; run i has seed + i")(
      "threads", po::value(&options.threads)->default_value(options.threads), "threads the runs are spread over")(
      "json", po::value(&command.jsonPath), "write every run and a summary to FILE")(
      "plot", po::value(&command.plotPath),
      "draw the settling-time distribution and the worst run per axis to FILE.png");
  po::options_description hidden;
  hidden.add_options()("model", po::value(&command.modelPath))("config", po::value(&command.configPath));

  const auto usage = [&](std::ostream& out) {
    out << "Usage: hover_lock_tune evaluate MODEL.xml CONFIG.xml [options]\n\n"
           "Runs the configuration CONFIG.xml (hover_lock's own arithmetic, in-process) against the vehicle model\n"
           "MODEL.xml over the standard scenario set of its mode (1 or 0) and prints how many runs settled, the\n"
           "settling times, the RMS errors, the command reversals, each axis's command variation per second and\n"
           "its largest command once settled (on a thruster-driven model also the thrusters' use). Exit status\n"
           "0 when it ran, 1 for a wrong command line, 2 when a document cannot be read or is refused.\n\n"
        << named;
  };
  if (const std::optional<int> stop =
          parseCommandLine(argc, argv, "evaluate", named, hidden, { "model", "config" }, usage))
  {
    return stop;
  }
  if (command.modelPath.empty() || command.configPath.empty() || options.runs < 1 || options.first < 0 ||
      options.duration <= 0 || options.threads < 1)
  {
    std::cerr << "hover_lock_tune evaluate: needs MODEL.xml and CONFIG.xml, at least one run, a positive duration"
                 " and at least one thread\n\n";
    usage(std::cerr);
    return 1;
  }
  return std::nullopt;
}

// The configuration at path, which the campaign can score; InputError otherwise.
quarn::dev::DeviceConfig readScoredConfig(const std::string& path)
{
  const quarn::dev::DeviceConfig config = readConfigFile(path);
  if (config.mode != 0 && config.mode != 1)
  {
    throw InputError("configuration " + path + " has mode " + std::to_string(config.mode) +
                     ": the campaign scores modes 1 (navigation-driven) and 0 (visual servoing)");
  }
  return config;
}

// The campaign, timed, and its table on stdout.
std::vector<RunResult> runAndPrint(const EvaluateCommand& command, const quarn::dev::DeviceConfig& config,
                                   const quarn::sim::VehicleModelConfig& model)
{
  const CampaignOptions& options = command.options;
  const auto started = std::chrono::steady_clock::now();
  const std::vector<RunResult> runs = runCampaign(config, model, options);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "hover_lock_tune evaluate: " << command.configPath << " on " << command.modelPath << "\n"
            << "  " << options.runs << " runs of " << options.duration << " s (seed " << options.seed << ") in "
            << std::fixed << std::setprecision(2) << elapsed << " s on " << options.threads
            << (options.threads == 1 ? " thread\n" : " threads\n") << std::defaultfloat;
  printTable(std::cout, runs, summarise(runs));
  return runs;
}

// Every run and the summary as JSON at path.
void writeRunsJson(const EvaluateCommand& command, const std::vector<RunResult>& runs, const std::string& path)
{
  Poco::JSON::Object::Ptr document = new Poco::JSON::Object(true);
  document->set("model", command.modelPath);
  document->set("config", command.configPath);
  document->set("duration", command.options.duration);
  Poco::JSON::Array::Ptr all = new Poco::JSON::Array;
  for (const RunResult& r : runs)
  {
    all->add(runJson(r));
  }
  document->set("runs", all);
  document->set("summary", summaryJson(summarise(runs)));
  writeJson(path, document);
}

// The JSON file and the plot the command line asks for.
void writeOutputs(const EvaluateCommand& command, const quarn::dev::DeviceConfig& config,
                  const quarn::sim::VehicleModelConfig& model, const std::vector<RunResult>& runs)
{
  if (!command.jsonPath.empty())
  {
    writeRunsJson(command, runs, command.jsonPath);
    std::cout << "Wrote " << command.jsonPath << "\n";
  }
  if (!command.plotPath.empty())
  {
    if (!plot(plotData(config, model, runs, command.options.duration), command.plotPath))
    {
      throw std::runtime_error("the plot " + command.plotPath + " could not be drawn");
    }
    std::cout << "Wrote " << command.plotPath << "\n";
  }
}

}  // namespace

int evaluate(int argc, char** argv)
{
  EvaluateCommand command;
  if (const std::optional<int> stop = parseEvaluateCommand(argc, argv, command))
  {
    return *stop;
  }
  quarn::sim::VehicleModelConfig model;
  quarn::dev::DeviceConfig config;
  try
  {
    model = readModelFile(command.modelPath);
    config = readScoredConfig(command.configPath);
  }
  catch (const InputError& e)
  {
    std::cerr << "hover_lock_tune evaluate: " << e.what() << "\n";
    return 2;
  }
  const std::vector<RunResult> runs = runAndPrint(command, config, model);
  try
  {
    writeOutputs(command, config, model, runs);
  }
  catch (const std::runtime_error& e)
  {
    std::cerr << "hover_lock_tune evaluate: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace quarn::sim
