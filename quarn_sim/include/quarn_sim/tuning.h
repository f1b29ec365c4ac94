#pragma once

// Offline tuning of hover_lock's twelve gains on a vehicle model: a bounded derivative-free search (NLopt's
// BOBYQA) over a robust campaign cost, and the check that decides which gains are written.
//
// Cost of one run, errors e_i normalised by their tolerances (0.1 m, 0.05 rad), D the run's length:
//   (1/D) sum_t (t/D) sum_i |e_i(t)| / tol_i dt          time-weighted absolute error: late errors weigh most
//   + REVERSAL_WEIGHT * command reversals per second      chattering set-points
//   + SETTLING_WEIGHT * settling time / D, or UNSETTLED_PENALTY   slow or never settling
// A mode 0 configuration is tuned on the mode 0 set, in x and y only: depth and heading keep the base's gains,
// negative as that mode takes them.
// The runs are a spread of scenarios of the standard set as long as the campaign's, on the model and on the model
// with its time constants and delay scaled by 0.7 and 1.3. The search minimises the worst of the three models'
// mean run cost, each relative to the base gains' on that model: no variant pays for another's gain, so that the
// gains hold on a vehicle a little off its identification.
//
// The search sees a sample of the campaign only. chooseGains checks its gains on the whole campaign and backs off
// toward the base until they settle at least as many runs as the base on the model and on both variants.
//
//   TuneOptions options;                                  // 12 scenarios of 60 s per model, 160 evaluations
//   TuneResult result = tuneGains(base, model, options);
//   Choice choice = chooseGains(base, result.gains, model, CampaignOptions());
//   quarn::dev::DeviceConfig tuned = withGains(base, choice.gains);

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <vector>

#include <nlopt.hpp>

#include <quarn_dev/hover_lock_core.h>
#include <quarn_sim/campaign.h>
#include <quarn_sim/vehicle_model.h>

namespace quarn::sim
{

/// Proportional, integral and derivative gain of x, y, z and yaw, in that order.
using Gains = std::array<double, 12>;

/// Weight of one command reversal per second in a run's cost.
constexpr double REVERSAL_WEIGHT = 0.05;
/// Weight of a settled run's settling time over its length: what the campaign's median settling time scores.
constexpr double SETTLING_WEIGHT = 2.0;
/// Cost of a run that does not settle, above any settled run's settling term.
constexpr double UNSETTLED_PENALTY = 4.0;
/// Scales of the time constants and delay the search also scores on.
constexpr std::array<double, 3> MODEL_SCALES{ 1.0, 0.7, 1.3 };
/// Search bounds: proportional gains (searched on a log scale), integral and derivative gains.
constexpr double KP_MIN = 0.1, KP_MAX = 10.0, KI_MAX = 1.0, KD_MAX = 1.0;

/// Size of the search.
struct TuneOptions
{
  int scenarios = 12;     ///< scenarios of the standard set per model, spread over it
  double duration = 60;   ///< simulated seconds per search run
  unsigned seed = 1;      ///< noise seed of the search campaign
  int evaluations = 160;  ///< cost evaluations the search may spend
  int threads = 2;        ///< runs are spread over this many threads
  /// Called after every evaluation with its number and the best cost so far.
  std::function<void(int, double)> progress;
};

/// Outcome of a search.
struct TuneResult
{
  Gains gains{};
  double baseCost = 0, cost = 0;  ///< search cost of the starting (1) and the found gains
  int evaluations = 0;            ///< evaluations the search spent
};

/// The gains of a mode 1 configuration (extra entries of a gain vector are ignored).
inline Gains gainsOf(const quarn::dev::DeviceConfig& config);

/// config with gains in place of its first three entries per axis; mode, desired pose and extra entries kept.
inline quarn::dev::DeviceConfig withGains(const quarn::dev::DeviceConfig& config, const Gains& gains);

/// gains as a mode 1 configuration takes them: in mode 0 the depth and heading measures are reference minus
/// current, the opposite of mode 1, so the same correction needs the opposite signs of those six gains. The
/// conversion is its own inverse.
inline Gains modeOneGains(Gains gains, int mode)
{
  for (int k = 6; mode == 0 && k < 12; ++k)
  {
    gains[k] = -gains[k];
  }
  return gains;
}

/// model with its time constants and its delay multiplied by scale.
inline quarn::sim::VehicleModelConfig scaledModel(const quarn::sim::VehicleModelConfig& model, double scale);

/// Cost of one run traced by runScenario (see the top of this header).
inline double runCost(const RunResult& run, const std::vector<TracePoint>& trace, double duration);

/// Mean run cost over the search scenarios on the model and on each variant, in MODEL_SCALES order.
using ModelCosts = std::array<double, MODEL_SCALES.size()>;

/// Mean run cost of config's gains over the search scenarios on model and on each of its variants.
inline ModelCosts searchCost(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                             const TuneOptions& options);

/// Searches the gains of config (mode 1) that minimise the search cost on model, starting from config's own
/// (clipped into the search bounds); config's own stand when nothing beats them. Deterministic for given options.
inline TuneResult tuneGains(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                            const TuneOptions& options);

/// The campaign's summaries of one configuration on the model and on its variants, in MODEL_SCALES order.
using VariantScores = std::array<Summary, MODEL_SCALES.size()>;

/// Shares of the way from the base to the searched gains checked in turn, the searched gains themselves first.
constexpr std::array<double, 4> BACK_OFF_SHARES{ 1.0, 0.75, 0.5, 0.25 };

/// One candidate checked against the base.
struct Check
{
  double share = 0;      ///< of the way from the base to the searched gains, in the search's unit coordinates
  Gains gains{};         ///< the candidate
  VariantScores scores;  ///< its campaign on the model and each variant; none (0 runs) after the first that fell short
  bool passed = false;   ///< settled at least as many runs as the base on the model and on each variant
};

/// The gains to write and the checks that chose them.
struct Choice
{
  Gains gains{};              ///< the first passing candidate's, or the base's when none passed
  VariantScores baseScores;   ///< the base's campaign on the model and on each variant
  std::vector<Check> checks;  ///< in the order checked; only the last may have passed
  bool kept = true;           ///< no candidate passed: gains are the base's own
};

/// config's campaign on model and on each of its variants.
inline VariantScores scoreVariants(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                                   const CampaignOptions& campaign);

/// Gains share of the way from base to searched in the search's unit coordinates (the base clipped into bounds).
inline Gains blendGains(const Gains& base, const Gains& searched, double share);

/// The searched gains, or the first of their blends toward config's (BACK_OFF_SHARES), that settle at least as
/// many of the campaign's runs as config's own on model and on each variant; config's own when none does. The
/// search sees a sample of the campaign only, so its gains may settle fewer runs than the base's.
inline Choice chooseGains(const quarn::dev::DeviceConfig& config, const Gains& searched,
                          const quarn::sim::VehicleModelConfig& model, const CampaignOptions& campaign);

// ---------------------------------------------------------------------------------------------------------------

namespace tuning
{

/// Search coordinates in [0, 1] of gains, and back.
inline std::vector<double> toUnit(const Gains& gains)
{
  std::vector<double> x(12);
  for (int axis = 0; axis < 4; ++axis)
  {
    const double* g = &gains[3 * axis];
    x[3 * axis] = std::log(std::clamp(g[0], KP_MIN, KP_MAX) / KP_MIN) / std::log(KP_MAX / KP_MIN);
    x[3 * axis + 1] = std::clamp(g[1] / KI_MAX, 0.0, 1.0);
    x[3 * axis + 2] = std::clamp(g[2] / KD_MAX, 0.0, 1.0);
  }
  return x;
}

inline Gains fromUnit(const std::vector<double>& x)
{
  Gains gains;
  for (int axis = 0; axis < 4; ++axis)
  {
    gains[3 * axis] = KP_MIN * std::pow(KP_MAX / KP_MIN, x[3 * axis]);
    gains[3 * axis + 1] = KI_MAX * x[3 * axis + 1];
    gains[3 * axis + 2] = KD_MAX * x[3 * axis + 2];
  }
  return gains;
}

/// Scenario k of count, spread over the standard set of mode: the strides 97 and 13 are prime to 256 and 32 and
/// walk every factor (direction, radius, heading, current, depth) through its values.
inline Scenario spreadScenario(int k, unsigned seed, int mode)
{
  if (mode == 0)
  {
    return servoingScenario((13 * k) % SERVOING_CONDITIONS, seed + static_cast<unsigned>(k));
  }
  return standardScenario((97 * k) % STANDARD_CONDITIONS, seed + static_cast<unsigned>(k));
}

}  // namespace tuning

inline Gains gainsOf(const quarn::dev::DeviceConfig& config)
{
  Gains gains;
  const Eigen::VectorXd* axes[] = { &config.pidConfigX, &config.pidConfigY, &config.pidConfigZ, &config.pidConfigYaw };
  for (int axis = 0; axis < 4; ++axis)
  {
    for (int k = 0; k < 3; ++k)
    {
      gains[3 * axis + k] = (*axes[axis])[k];
    }
  }
  return gains;
}

inline quarn::dev::DeviceConfig withGains(const quarn::dev::DeviceConfig& config, const Gains& gains)
{
  quarn::dev::DeviceConfig result = config;
  Eigen::VectorXd* axes[] = { &result.pidConfigX, &result.pidConfigY, &result.pidConfigZ, &result.pidConfigYaw };
  for (int axis = 0; axis < 4; ++axis)
  {
    for (int k = 0; k < 3; ++k)
    {
      (*axes[axis])[k] = gains[3 * axis + k];
    }
  }
  return result;
}

inline quarn::sim::VehicleModelConfig scaledModel(const quarn::sim::VehicleModelConfig& model, double scale)
{
  quarn::sim::VehicleModelConfig scaled = model;
  scaled.timeConstant *= scale;
  scaled.delay *= scale;
  return scaled;
}

inline double runCost(const RunResult& run, const std::vector<TracePoint>& trace, double duration)
{
  const Axes tolerance{ POSITION_TOLERANCE, POSITION_TOLERANCE, POSITION_TOLERANCE, HEADING_TOLERANCE };
  double weighted = 0;
  for (std::size_t k = 1; k < trace.size(); ++k)
  {
    const double dt = trace[k].t - trace[k - 1].t;
    for (int i = 0; i < 4; ++i)
    {
      weighted += trace[k].t / duration * std::abs(trace[k].error[i]) / tolerance[i] * dt;
    }
  }
  return weighted / duration + REVERSAL_WEIGHT * run.reversalsPerSecond +
         (run.settled ? SETTLING_WEIGHT * run.settlingTime / duration : UNSETTLED_PENALTY);
}

inline ModelCosts searchCost(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                             const TuneOptions& options)
{
  std::vector<quarn::sim::VehicleModelConfig> models;
  for (double scale : MODEL_SCALES)
  {
    models.push_back(scaledModel(model, scale));
  }
  const int jobs = options.scenarios * static_cast<int>(models.size());
  std::vector<double> costs(static_cast<std::size_t>(jobs));
  inParallel(jobs, options.threads, [&](int j) {
    std::vector<TracePoint> trace;
    const RunResult run =
        runScenario(config, models[j / options.scenarios],
                    tuning::spreadScenario(j % options.scenarios, options.seed, config.mode), options.duration, &trace);
    costs[j] = runCost(run, trace, options.duration);
  });
  // Summed in job order, so the cost does not depend on the number of threads.
  ModelCosts means{};
  for (int j = 0; j < jobs; ++j)
  {
    means[j / options.scenarios] += costs[j] / options.scenarios;
  }
  return means;
}

inline TuneResult tuneGains(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                            const TuneOptions& options)
{
  struct Search
  {
    const quarn::dev::DeviceConfig& config;
    const quarn::sim::VehicleModelConfig& model;
    const TuneOptions& options;
    const ModelCosts* baseCosts;
    TuneResult result;
    std::vector<double> start;  // the base's search coordinates; in mode 0 the search moves only the first six
  };
  const std::size_t dimensions = config.mode == 0 ? 6 : 12;
  Search search{ config, model, options, nullptr, {}, tuning::toUnit(gainsOf(config)) };
  search.result.gains = gainsOf(config);
  const ModelCosts baseCosts = searchCost(config, model, options);
  search.baseCosts = &baseCosts;
  search.result.baseCost = search.result.cost = 1;

  nlopt::opt optimiser(nlopt::LN_BOBYQA, dimensions);
  optimiser.set_lower_bounds(std::vector<double>(dimensions, 0.0));
  optimiser.set_upper_bounds(std::vector<double>(dimensions, 1.0));
  optimiser.set_initial_step(0.3);
  optimiser.set_maxeval(options.evaluations);
  optimiser.set_xtol_abs(1e-3);
  optimiser.set_min_objective(
      [](const std::vector<double>& unit, std::vector<double>&, void* data) {
        Search& s = *static_cast<Search*>(data);
        std::vector<double> full = s.start;
        std::copy(unit.begin(), unit.end(), full.begin());
        Gains gains = tuning::fromUnit(full);
        // The depth and heading gains a search does not move stay exactly the base's, signs included.
        const Gains base = gainsOf(s.config);
        std::copy(base.begin() + static_cast<long>(unit.size()), base.end(),
                  gains.begin() + static_cast<long>(unit.size()));
        const ModelCosts costs = searchCost(withGains(s.config, gains), s.model, s.options);
        double cost = 0;
        for (std::size_t k = 0; k < costs.size(); ++k)
        {
          cost = std::max(cost, costs[k] / (*s.baseCosts)[k]);
        }
        if (cost < s.result.cost)
        {
          s.result.cost = cost;
          s.result.gains = gains;
        }
        ++s.result.evaluations;
        if (s.options.progress)
        {
          s.options.progress(s.result.evaluations, s.result.cost);
        }
        return cost;
      },
      &search);
  std::vector<double> x(search.start.begin(), search.start.begin() + static_cast<long>(dimensions));
  double found = 0;
  try
  {
    optimiser.optimize(x, found);
  }
  catch (const nlopt::roundoff_limited&)
  {
    // The best gains so far stand.
  }
  return search.result;
}

inline VariantScores scoreVariants(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                                   const CampaignOptions& campaign)
{
  VariantScores scores;
  for (std::size_t k = 0; k < MODEL_SCALES.size(); ++k)
  {
    scores[k] = summarise(runCampaign(config, scaledModel(model, MODEL_SCALES[k]), campaign));
  }
  return scores;
}

inline Gains blendGains(const Gains& base, const Gains& searched, double share)
{
  std::vector<double> x = tuning::toUnit(base);
  const std::vector<double> to = tuning::toUnit(searched);
  for (std::size_t k = 0; k < x.size(); ++k)
  {
    x[k] += share * (to[k] - x[k]);
  }
  return tuning::fromUnit(x);
}

inline Choice chooseGains(const quarn::dev::DeviceConfig& config, const Gains& searched,
                          const quarn::sim::VehicleModelConfig& model, const CampaignOptions& campaign)
{
  Choice choice;
  choice.gains = gainsOf(config);
  choice.baseScores = scoreVariants(config, model, campaign);
  for (double share : BACK_OFF_SHARES)
  {
    Check check{ share, blendGains(choice.gains, searched, share), {}, true };
    // A candidate is out at its first shortfall: the other campaigns would not change that.
    for (std::size_t k = 0; k < MODEL_SCALES.size() && check.passed; ++k)
    {
      check.scores[k] =
          summarise(runCampaign(withGains(config, check.gains), scaledModel(model, MODEL_SCALES[k]), campaign));
      check.passed = check.scores[k].settled >= choice.baseScores[k].settled;
    }
    choice.checks.push_back(check);
    if (check.passed)
    {
      choice.gains = check.gains;
      choice.kept = false;
      break;
    }
  }
  return choice;
}

}  // namespace quarn::sim
