// hover_lock_tune tune: the gains that hold a vehicle model best, searched offline and written as a complete
// hover_lock configuration, with the campaign's scores of the base and the tuned gains side by side.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include <boost/program_options.hpp>

#include <quarn_sim/campaign.h>
#include <quarn_sim/tuning.h>

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

std::string variant(std::size_t k)
{
  return MODEL_SCALES[k] == 1.0 ? "model" : "lags x" + text(MODEL_SCALES[k], 1);
}

std::string settledText(const VariantScores& scores)
{
  std::string line;
  for (std::size_t k = 0; k < scores.size() && scores[k].runs > 0; ++k)
  {
    line += (k ? ", " : "") + std::to_string(scores[k].settled) + " / " + std::to_string(scores[k].runs) + " (" +
            variant(k) + ")";
  }
  return line;
}

// What the written gains had to pass: settle at least as many runs as the base on the model and each variant.
void printChecks(const Choice& choice)
{
  std::cout << "  base settles       " << settledText(choice.baseScores) << "\n";
  for (const Check& check : choice.checks)
  {
    std::cout << "  " << std::left << std::setw(19)
              << (check.share == 1.0 ? "searched gains" : "back-off " + text(check.share, 2))
              << settledText(check.scores) << (check.passed ? ": passes" : ": fewer than the base") << "\n";
  }
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
    row("on the " + variant(k), "BASE", "TUNED");
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
  }
}

}  // namespace

int tune(int argc, char** argv)
{
  TuneOptions search;
  CampaignOptions campaign;
  std::string modelPath, basePath, output;
  po::options_description named("Options");
  named.add_options()("help,h", "show this help and exit")("config", po::value(&basePath), "base configuration")(
      "output,o", po::value(&output), "tuned configuration to write")(
      "seed", po::value(&search.seed)->default_value(search.seed), "noise seed of the search and the scoring")(
      "evaluations", po::value(&search.evaluations)->default_value(search.evaluations), "cost evaluations")(
      "scenarios", po::value(&search.scenarios)->default_value(search.scenarios), "search scenarios per model")(
      "search-duration", po::value(&search.duration)->default_value(search.duration), "seconds per search run")(
      "runs", po::value(&campaign.runs)->default_value(campaign.runs), "runs of the scoring campaign")(
      "threads", po::value(&search.threads)->default_value(search.threads), "threads the runs are spread over");
  po::options_description hidden;
  hidden.add_options()("model", po::value(&modelPath));

  const auto usage = [&](std::ostream& out) {
    out << "Usage: hover_lock_tune tune MODEL.xml --config BASE.xml -o TUNED.xml [options]\n\n"
           "Searches the twelve gains (proportional, integral, derivative of x, y, z, yaw) that hold the vehicle\n"
           "of MODEL.xml best over a spread of the campaign's scenarios, on the model and on the model with its\n"
           "time constants and delay 30% smaller and larger (NLopt BOBYQA, deterministic for a seed). Checks the\n"
           "gains on the whole campaign on the model and both variants, backing off toward the base until they\n"
           "settle at least as many runs as the base on each (the base's own gains when none do). Writes\n"
           "TUNED.xml: BASE.xml with those gains, its mode and desired pose kept. A mode 0 BASE is tuned on the\n"
           "mode 0 scenarios, x and y only: its depth and heading gains stay as they are. Prints the campaign's scores "
           "of BASE and TUNED side by side.\n"
           "Exit status 0 when it wrote TUNED.xml, 1 for a wrong command line, 2 when a document cannot be\n"
           "read or is refused.\n\n"
        << named;
  };
  if (const std::optional<int> stop = parseCommandLine(argc, argv, "tune", named, hidden, { "model" }, usage))
  {
    return *stop;
  }
  if (modelPath.empty() || basePath.empty() || output.empty() || search.evaluations < 1 || search.scenarios < 1 ||
      search.duration <= 0 || campaign.runs < 1 || search.threads < 1)
  {
    std::cerr << "hover_lock_tune tune: needs MODEL.xml, --config BASE.xml and -o TUNED.xml, and positive sizes\n\n";
    usage(std::cerr);
    return 1;
  }

  try
  {
    const quarn::sim::VehicleModelConfig model = readModelFile(modelPath);
    const quarn::dev::DeviceConfig base = readConfigFile(basePath);
    if (base.mode != 0 && base.mode != 1)
    {
      throw InputError("configuration " + basePath + " has mode " + std::to_string(base.mode) +
                       ": tuning serves modes 1 and 0");
    }

    const bool interactive = isatty(STDERR_FILENO);
    search.progress = [&](int evaluation, double best) {
      if (interactive || evaluation % 20 == 0 || evaluation == search.evaluations)
      {
        std::cerr << (interactive ? "\r" : "") << "  search: evaluation " << evaluation << " / " << search.evaluations
                  << ", best cost " << std::fixed << std::setprecision(4) << best << (interactive ? "" : "\n")
                  << std::flush;
      }
    };
    const auto started = std::chrono::steady_clock::now();
    const TuneResult result = tuneGains(base, model, search);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cerr << (interactive ? "\n" : "");
    std::cout << "hover_lock_tune tune: " << basePath << " on " << modelPath << "\n  search cost "
              << text(result.baseCost, 4) << " -> " << text(result.cost, 4) << " in " << result.evaluations
              << " evaluations, " << text(elapsed, 1, " s") << "\n\n";

    campaign.seed = search.seed;
    campaign.threads = search.threads;
    std::cout << "Checks on the campaign of " << campaign.runs << " runs of " << campaign.duration << " s:\n";
    const Choice choice = chooseGains(base, result.gains, model, campaign);
    printChecks(choice);
    printScores(choice.baseScores, choice.kept ? choice.baseScores : choice.checks.back().scores);
    const quarn::dev::DeviceConfig tuned = withGains(base, choice.gains);
    std::cout << "\n";
    const char* const axes[] = { "x", "y", "z", "yaw" };
    for (int axis = 0; axis < 4; ++axis)
    {
      row(std::string("gains ") + axes[axis] + " (p i d)", gainText(gainsOf(base), axis),
          gainText(gainsOf(tuned), axis));
    }

    quarn::xml::XmlParamMapper<quarn::dev::DeviceConfig> mapper("hover_lock");
    quarn::dev::mapItems(mapper);
    mapper.data() = tuned;
    std::ofstream file(output);
    file << mapper.getXmlString() << "\n";
    if (!file.good())
    {
      throw InputError("cannot write " + output);
    }
    std::cout << (choice.kept ? "\nNo candidate settles as many runs as the base everywhere: wrote the base gains to "
                              : "\nWrote ")
              << output << "\n";
  }
  catch (const InputError& e)
  {
    std::cerr << "hover_lock_tune tune: " << e.what() << "\n";
    return 2;
  }
  return 0;
}

}  // namespace quarn::sim
