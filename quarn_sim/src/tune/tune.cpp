// hover_lock_tune tune: the gains that hold a vehicle model best, searched offline under a smoothness limit and
// written into a copy of the base configuration, with the campaign's scores of the base and the tuned gains side by
// side.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include <boost/program_options.hpp>

#include <quarn_sim/campaign.h>
#include <quarn_sim/documents.h>
#include <quarn_sim/tuning.h>
#include <quarn_xml/XmlParamDoc.h>

#include "subcommands.h"

namespace po = boost::program_options;

namespace quarn::sim
{
namespace
{

std::string text(double value, int precision, const char* unit = "")
{
  std::ostringstream out;
  out << std::fixed << std::setprecision(precision) << value << unit;
  return out.str();
}

std::string seconds(const std::optional<double>& value)
{
  return value ? text(*value, 1, " s") : "-";
}

std::string gainText(const Gains& gains, int axis)
{
  return text(gains[3 * axis], 3) + " " + text(gains[3 * axis + 1], 3) + " " + text(gains[3 * axis + 2], 3);
}

void row(const std::string& name, const std::string& base, const std::string& tuned)
{
  std::cout << "  " << std::left << std::setw(26) << name << std::setw(22) << base << tuned << "\n";
}

std::string settledText(const VariantScores& scores)
{
  std::string line;
  for (std::size_t k = 0; k < scores.size() && scores[k].runs > 0; ++k)
  {
    line += (k ? ", " : "") + std::to_string(scores[k].settled) + " / " + std::to_string(scores[k].runs) + " (" +
            variantName(k) + ")";
  }
  return line;
}

// What the written gains had to pass: the reversal limit on the model, and settle at least as many runs as the
// base on the model and each variant.
void printChecks(const Choice& choice)
{
  std::cout << "  base settles       " << settledText(choice.baseScores) << ", "
            << text(choice.baseScores[0].reversalsMedian, 2) << " reversals per second\n";
  for (const Check& check : choice.checks)
  {
    std::cout << "  " << std::left << std::setw(19)
              << (check.share == 1.0 ? "searched gains" : "back-off " + text(check.share, 2))
              << settledText(check.scores) << (check.passed ? ": passes" : ": " + check.shortfall) << "\n";
  }
}

std::string perAxisText(const Axes& values, int precision)
{
  std::string line;
  for (int i = 0; i < 4; ++i)
  {
    line += (i ? " " : "") + (std::isnan(values[i]) ? std::string("-") : text(values[i], precision));
  }
  return line;
}

// The campaign's scores of the base and the written gains side by side, on the model and on each variant.
void printScores(const VariantScores& base, const VariantScores& tuned)
{
  const char* const axes[] = { "x", "y", "depth", "heading" };
  const char* const units[] = { " m", " m", " m", " rad" };
  for (std::size_t k = 0; k < base.size(); ++k)
  {
    const Summary& b = base[k];
    const Summary& t = tuned[k];
    std::cout << "\n";
    row(variantName(k), "BASE", "TUNED");
    row("settled", std::to_string(b.settled) + " / " + std::to_string(b.runs),
        std::to_string(t.settled) + " / " + std::to_string(t.runs));
    row("settling time, median", seconds(b.settlingP50), seconds(t.settlingP50));
    row("settling time, 95th pct", seconds(b.settlingP95), seconds(t.settlingP95));
    for (int i = 0; i < 4; ++i)
    {
      row(std::string("RMS error, median ") + axes[i], text(b.rmsMedian[i], 3, units[i]),
          text(t.rmsMedian[i], 3, units[i]));
    }
    row("reversals per second", text(b.reversalsMedian, 2), text(t.reversalsMedian, 2));
    row("variation /s x y z yaw", perAxisText(b.variationMedian, 2), perAxisText(t.variationMedian, 2));
    row("settled command x y z yaw", perAxisText(b.settledCommandMedian, 1), perAxisText(t.settledCommandMedian, 1));
  }
}

/// What the command line asks for.
struct TuneCommand
{
  TuneOptions search;
  CampaignOptions campaign;
  std::string modelPath, basePath, output;
};

// Fills command from the command line; the status to exit with when tune is to stop here.
std::optional<int> parseTuneCommand(int argc, char** argv, TuneCommand& command)
{
  TuneOptions& search = command.search;
  CampaignOptions& campaign = command.campaign;
  po::options_description named("Options");
  named.add_options()("help,h", "show this help and exit")("config", po::value(&command.basePath),
                                                           "base configuration")("output,o", po::value(&command.output),
                                                                                 "tuned configuration to write")(
      "max-reversals", po::value(&search.maxReversals)->default_value(search.maxReversals),
      "median command reversals per second (four axes together) the gains may cause on the model, > 0")(
      "seed", po::value(&search.seed)->default_value(search.seed), "noise seed of the search and the scoring")(
      "evaluations", po::value(&search.evaluations)->default_value(search.evaluations), "cost evaluations")(
      "scenarios", po::value(&search.scenarios)->default_value(search.scenarios), "search scenarios per model")(
      "search-duration", po::value(&search.duration)->default_value(search.duration), "seconds per search run")(
      "runs", po::value(&campaign.runs)->default_value(campaign.runs), "runs of the scoring campaign")(
      "threads", po::value(&search.threads)->default_value(search.threads), "threads the runs are spread over");
  po::options_description hidden;
  hidden.add_options()("model", po::value(&command.modelPath));

  const auto usage = [&](std::ostream& out) {
    out << "Usage: hover_lock_tune tune MODEL.xml --config BASE.xml -o TUNED.xml [options]\n\n"
           "Searches the twelve gains (proportional, integral, derivative of x, y, z, yaw) and the four derivative\n"
           "filter time constants that hold the vehicle of MODEL.xml best over a spread of the campaign's scenarios\n"
           "of BASE's mode (in mode 0 those of x and y alone), on the model and on the model with its time\n"
           "constants and delay 30% smaller and larger (NLopt COBYLA and AUGLAG, deterministic for a seed), under two\n"
           "constraints: at most --max-reversals command reversals per second on the model (median run), and as\n"
           "many settled runs as the base on the model and each variant. Checks the gains on the whole campaign,\n"
           "backing off toward the base until they meet both (the base's own gains when none do). Writes\n"
           "TUNED.xml: a copy of BASE.xml (comments and layout kept; a new filter item goes after its axis's gains)\n"
           "with the new values and a comment on what they were tuned on. Prints the campaign's\n"
           "scores of BASE and TUNED side by side.\n"
           "Exit status 0 when it wrote TUNED.xml, 1 for a wrong command line, 2 when a document cannot be\n"
           "read or written, 3 (and no TUNED.xml) when no gains meet the constraints, naming the one not met.\n\n"
        << named;
  };
  if (const std::optional<int> stop = parseCommandLine(argc, argv, "tune", named, hidden, { "model" }, usage))
  {
    return stop;
  }
  if (command.modelPath.empty() || command.basePath.empty() || command.output.empty() || search.evaluations < 1 ||
      search.scenarios < 1 || search.duration <= 0 || campaign.runs < 1 || search.threads < 1 ||
      !(search.maxReversals > 0 && std::isfinite(search.maxReversals)))
  {
    std::cerr << "hover_lock_tune tune: needs MODEL.xml, --config BASE.xml and -o TUNED.xml, positive sizes and a"
                 " positive --max-reversals\n\n";
    usage(std::cerr);
    return 1;
  }
  campaign.seed = search.seed;
  campaign.threads = search.threads;
  return std::nullopt;
}

void requireTunableMode(const quarn::dev::DeviceConfig& base, const std::string& path)
{
  if (base.mode != 0 && base.mode != 1)
  {
    throw InputError("configuration " + path + " has mode " + std::to_string(base.mode) +
                     ": tuning serves modes 1 and 0");
  }
}

// The search, with its progress on stderr (every evaluation on a terminal, every 20th in a log).
TuneResult runSearch(const quarn::dev::DeviceConfig& base, const quarn::sim::VehicleModelConfig& model,
                     TuneCommand& command)
{
  TuneOptions& search = command.search;
  const bool interactive = isatty(STDERR_FILENO);
  search.progress = [&](int evaluation, double best) {
    if (interactive || evaluation % 20 == 0 || evaluation == search.evaluations)
    {
      std::cerr << (interactive ? "\r" : "") << "  search: evaluation " << evaluation << " / " << search.evaluations
                << ", best cost " << (std::isnan(best) ? std::string("- (limits not met yet)") : text(best, 4))
                << (interactive ? "" : "\n") << std::flush;
    }
  };
  const auto started = std::chrono::steady_clock::now();
  const TuneResult result = tuneGains(base, model, search);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cerr << (interactive ? "\n" : "");
  std::cout << "hover_lock_tune tune: " << command.basePath << " on " << command.modelPath << "\n  search cost "
            << text(result.baseCost, 4) << " -> " << text(result.cost, 4) << " in " << result.evaluations
            << " evaluations, " << text(elapsed, 1, " s") << "\n";
  for (const std::string& unmet : result.unmet)
  {
    std::cout << "  no searched gains met: " << unmet << "\n";
  }
  std::cout << "\n";
  return result;
}

// The checks on the whole campaign and the scores of the base and the gains they chose.
Choice runChecks(const quarn::dev::DeviceConfig& base, const TuneResult& result,
                 const quarn::sim::VehicleModelConfig& model, const TuneCommand& command)
{
  std::cout << "Checks on the campaign of " << command.campaign.runs << " runs of " << command.campaign.duration
            << " s (at most " << text(command.search.maxReversals, 2) << " reversals per second on the model):\n";
  const Choice choice = chooseGains(base, result.gains, model, command.campaign, command.search.maxReversals);
  printChecks(choice);
  printScores(choice.baseScores, choice.kept ? choice.baseScores : choice.checks.back().scores);
  return choice;
}

void printGains(const quarn::dev::DeviceConfig& base, const quarn::dev::DeviceConfig& tuned)
{
  std::cout << "\n";
  const char* const axes[] = { "x", "y", "z", "yaw" };
  for (int axis = 0; axis < 4; ++axis)
  {
    row(std::string("gains ") + axes[axis] + " (p i d)", gainText(gainsOf(base), axis), gainText(gainsOf(tuned), axis));
  }
  const auto filters = [](const quarn::dev::DeviceConfig& config) {
    const Gains gains = gainsOf(config);
    return perAxisText({ gains[FILTERS], gains[FILTERS + 1], gains[FILTERS + 2], gains[FILTERS + 3] }, 2);
  };
  row("filters x y z yaw (s)", filters(base), filters(tuned));
}

// What the written gains were tuned on, for the comment above them.
std::string provenance(const TuneCommand& command, const Choice& choice)
{
  const Summary& base = choice.baseScores[0];
  const Summary& tuned = choice.kept ? base : choice.checks.back().scores[0];
  std::string line = " Gains " + std::string(choice.kept ? "kept" : "tuned") + " by hover_lock_tune on " +
                     command.modelPath + " (seed " + std::to_string(command.search.seed) + "), limits: at most " +
                     text(command.search.maxReversals, 2) +
                     " command reversals per second and as many settled runs as the base on the model and with its"
                     " lags x0.7 and x1.3.\n       On " +
                     std::to_string(tuned.runs) + " runs of " + text(command.campaign.duration, 0) +
                     " s on the model: " + std::to_string(tuned.settled) + " settled, median settling time " +
                     seconds(tuned.settlingP50) + ", " + text(tuned.reversalsMedian, 2) +
                     " reversals per second (base: " + std::to_string(base.settled) + ", " + seconds(base.settlingP50) +
                     ", " + text(base.reversalsMedian, 2) + "). ";
  // A comment may not hold "--", which a path can.
  for (std::string::size_type at = line.find("--"); at != std::string::npos; at = line.find("--", at))
  {
    line.replace(at, 2, "- -");
  }
  return line;
}

// The derivative filters tuned into document: an item the base has changes its value, a new one goes after its
// axis's gains.
void writeFilters(quarn::xml::XmlParamDoc& document, const std::string& root, const quarn::dev::DeviceConfig& base,
                  const quarn::dev::DeviceConfig& tuned)
{
  for (int axis = 0; axis < 4; ++axis)
  {
    const double value = tuned.axes[axis].derivativeFilter;
    if (value == base.axes[axis].derivativeFilter)
    {
      continue;
    }
    const std::string suffix = quarn::dev::AXIS_SUFFIXES[axis];
    if (quarn::dev::hasElement(document, root + "pid_filter_" + suffix))
    {
      document.setItemValue(root + "pid_filter_" + suffix, numberText(value));
    }
    else
    {
      document.insertItemAfter(root + "pid_config_" + suffix, "pid_filter_" + suffix,
                               quarn::xml::XmlParamDoc::REAL_TYPE, numberText(value));
    }
  }
}

// A copy of the base document with the items tuned changes, and the comment above the gains.
void writeTuned(const TuneCommand& command, const quarn::dev::DeviceConfig& base, const quarn::dev::DeviceConfig& tuned,
                const std::string& comment)
{
  try
  {
    quarn::xml::XmlParamDoc document;
    document.loadXmlString(readTextFile(command.basePath));
    const std::string root = document.getRootTagName() + "/";
    for (const quarn::dev::ConfigItem& item : quarn::dev::CONFIG_ITEMS)
    {
      const auto* member = std::get_if<Eigen::VectorXd quarn::dev::DeviceConfig::*>(&item.member);
      if (member && tuned.*(*member) != base.*(*member))
      {
        const Eigen::VectorXd& values = tuned.*(*member);
        document.setItemValue(root + item.name, numbersText({ values.data(), values.data() + values.size() }));
      }
    }
    writeFilters(document, root, base, tuned);
    document.insertComment(root + quarn::dev::CONFIG_ITEMS[0].name, comment);
    document.saveToFile(command.output);
  }
  catch (const std::runtime_error& e)
  {
    throw InputError(std::string("cannot write ") + command.output + ": " + e.what());
  }
}

}  // namespace

int tune(int argc, char** argv)
{
  TuneCommand command;
  if (const std::optional<int> stop = parseTuneCommand(argc, argv, command))
  {
    return *stop;
  }
  try
  {
    const quarn::sim::VehicleModelConfig model = readModelFile(command.modelPath);
    const quarn::dev::DeviceConfig base = readConfigFile(command.basePath);
    requireTunableMode(base, command.basePath);
    const TuneResult result = runSearch(base, model, command);
    const Choice choice = runChecks(base, result, model, command);
    const quarn::dev::DeviceConfig tuned = withGains(base, choice.gains);
    printGains(base, tuned);
    if (!choice.shortfall.empty())
    {
      std::cout << "\nNo gains meet the limits: the base's own fall short, " << choice.shortfall
                << ". Wrote nothing.\n";
      return 3;
    }
    writeTuned(command, base, tuned, provenance(command, choice));
    std::cout << (choice.kept ? "\nNo candidate meets the limits where the base does: wrote the base gains to "
                              : "\nWrote ")
              << command.output << "\n";
  }
  catch (const InputError& e)
  {
    std::cerr << "hover_lock_tune tune: " << e.what() << "\n";
    return 2;
  }
  return 0;
}

}  // namespace quarn::sim
