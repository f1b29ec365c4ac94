#pragma once

// Offline tuning of hover_lock's twelve gains and four derivative filters on a vehicle model: a bounded
// derivative-free search under constraints (NLopt's COBYLA, then AUGLAG) over a robust campaign cost, and the check
// that decides which gains are written.
//
// Cost of one run, errors e_i normalised by their tolerances (0.1 m, 0.05 rad), D the run's length:
//   (1/D) sum_t (t/D) sum_i |e_i(t)| / tol_i dt          time-weighted absolute error: late errors weigh most
//   + SETTLING_WEIGHT * settling time / D, or UNSETTLED_PENALTY   slow or never settling
// The runs are a spread of scenarios of the standard set of the configuration's mode, as long as the campaign's, on the
// model and on the model with its time constants and delay scaled by 0.7 and 1.3. The search minimises the worst of the
// three models' mean run cost, each relative to the base gains' on that model: no variant pays for another's gain, so
// that the gains hold on a vehicle a little off its identification. A thruster-driven model's variants scale its masses
// and damping instead. A mode 0 configuration has its x and y tuned alone (searchedCoordinates). The search holds the
// gains to two constraints:
//   command reversals per second (four axes together) on the model <= TuneOptions::maxReversals: the search holds
//   the mean over its runs to it, which moves smoothly with the gains where the median of a dozen runs jumps; the
//   check holds the campaign's median run to it
//   runs settled >= the base's, on the model and on each variant
// Chattering set-points wear thrusters whatever they buy, so smoothness is a limit rather than a price.
//
// The search sees a sample of the campaign only. chooseGains checks its gains on the whole campaign and backs off
// toward the base until they meet both constraints there.
//
//   TuneOptions options;                                  // 12 scenarios of 60 s per model, 160 evaluations
//   TuneResult result = tuneGains(base, model, options);
//   Choice choice = chooseGains(base, result.gains, model, CampaignOptions(), options.maxReversals);
//   quarn::dev::DeviceConfig tuned = withGains(base, choice.gains);

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <iomanip>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlopt.hpp>

#include <quarn_dev/hover_lock_core.h>
#include <quarn_sim/campaign.h>
#include <quarn_sim/vehicle_model.h>

namespace quarn::sim
{

/// What the search tunes: proportional, integral and derivative gain of x, y, z and yaw, in that order, then the
/// time constant (s) of the derivative filter of x, y, z and yaw (0: unfiltered).
using Gains = std::array<double, 16>;
/// Index in Gains of the first derivative filter's time constant.
constexpr std::size_t FILTERS = 12;

/// Weight of a settled run's settling time over its length: what the campaign's median settling time scores.
constexpr double SETTLING_WEIGHT = 2.0;
/// Cost of a run that does not settle, above any settled run's settling term.
constexpr double UNSETTLED_PENALTY = 4.0;
/// Scales of the time constants and delay the search also scores on.
constexpr std::array<double, 3> MODEL_SCALES{ 1.0, 0.7, 1.3 };
/// "on the model", or "with lags x0.7" for the variant k of MODEL_SCALES.
inline std::string variantName(std::size_t k)
{
  std::ostringstream text;
  text << "with lags x" << MODEL_SCALES[k];
  return MODEL_SCALES[k] == 1.0 ? "on the model" : text.str();
}
/// Search bounds: proportional gains (searched on a log scale), integral and derivative gains, derivative filter
/// time constants (s): a filter much slower than the vehicle's lag would leave it undamped.
constexpr double KP_MIN = 0.1, KP_MAX = 10.0, KI_MAX = 1.0, KD_MAX = 1.0, FILTER_MAX = 1.0;

/// Size of the search.
struct TuneOptions
{
  int scenarios = 12;     ///< scenarios of the standard set per model, spread over it
  double duration = 60;   ///< simulated seconds per search run
  unsigned seed = 1;      ///< noise seed of the search campaign
  int evaluations = 160;  ///< cost evaluations the search may spend
  int threads = 2;        ///< runs are spread over this many threads
  /// Median command reversals per second (four axes together) on the model the gains may cause, > 0.
  double maxReversals = 3;
  /// Called after every evaluation with its number and the best cost so far.
  std::function<void(int, double)> progress;
};

/// Outcome of a search.
struct TuneResult
{
  Gains gains{};                  ///< the best gains that met both constraints; the nearest to them when none did
  double baseCost = 0, cost = 0;  ///< search cost of the starting (1) and the found gains
  int evaluations = 0;            ///< evaluations the search spent
  /// The constraints no searched gains met, in words; empty when some gains met both.
  std::vector<std::string> unmet;
};

/// The gains and derivative filters of a configuration (extra entries of a gain vector are ignored).
inline Gains gainsOf(const quarn::dev::DeviceConfig& config);

/// config with gains in place of its first three entries per axis and its derivative filters; mode, desired pose,
/// limits and extra entries kept.
inline quarn::dev::DeviceConfig withGains(const quarn::dev::DeviceConfig& config, const Gains& gains);

/// Indices into Gains the search moves for a configuration of mode: all of them; in mode 0 those of x and y alone,
/// since servoing holds depth and heading at the references it took (with gains of mode 0's opposite sign, which
/// the search leaves as they are).
inline std::vector<std::size_t> searchedCoordinates(int mode)
{
  if (mode == 0)
  {
    return { 0, 1, 2, 3, 4, 5, FILTERS, FILTERS + 1 };
  }
  std::vector<std::size_t> all(std::tuple_size_v<Gains>);
  std::iota(all.begin(), all.end(), 0);
  return all;
}

/// model with its time constants and its delay multiplied by scale; a thruster-driven model with its masses and
/// damping multiplied instead (scaledThrusterVehicle).
inline quarn::sim::VehicleModelConfig scaledModel(const quarn::sim::VehicleModelConfig& model, double scale);

/// Cost of one run traced by runScenario (see the top of this header).
inline double runCost(const RunResult& run, const std::vector<TracePoint>& trace, double duration);

/// Mean run cost over the search scenarios on the model and on each variant, in MODEL_SCALES order.
using ModelCosts = std::array<double, MODEL_SCALES.size()>;

/// What the search sees of one configuration, over its scenarios on the model and each variant.
struct SearchScores
{
  ModelCosts costs{};                              ///< mean run cost, in MODEL_SCALES order
  std::array<int, MODEL_SCALES.size()> settled{};  ///< runs settled, in MODEL_SCALES order
  double reversals = 0;                            ///< mean reversals per second on the model itself
};

/// config's gains scored over the search scenarios on model and on each of its variants.
inline SearchScores searchScores(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                                 const TuneOptions& options);

/// Mean run cost of config's gains over the search scenarios on model and on each of its variants.
inline ModelCosts searchCost(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                             const TuneOptions& options)
{
  return searchScores(config, model, options).costs;
}

/// Searches the gains of config (mode 1) that minimise the search cost on model under the reversal and settling
/// constraints, starting from config's own (clipped into the search bounds); config's own stand when nothing
/// beats them. Deterministic for given options.
inline TuneResult tuneGains(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                            const TuneOptions& options);

/// The campaign's summaries of one configuration on the model and on its variants, in MODEL_SCALES order.
using VariantScores = std::array<Summary, MODEL_SCALES.size()>;

/// Shares of the way from the base to the searched gains checked in turn, the searched gains themselves first.
constexpr std::array<double, 4> BACK_OFF_SHARES{ 1.0, 0.75, 0.5, 0.25 };

/// One candidate checked against the base.
struct Check
{
  double share = 0;       ///< of the way from the base to the searched gains, in the search's unit coordinates
  Gains gains{};          ///< the candidate
  VariantScores scores;   ///< its campaign on the model and each variant; none (0 runs) after the first that fell short
  bool passed = false;    ///< met the reversal limit and settled at least as many runs as the base everywhere
  std::string shortfall;  ///< what it fell short on, in words; empty when it passed
};

/// The gains to write and the checks that chose them.
struct Choice
{
  Gains gains{};              ///< the first passing candidate's, or the base's when none passed
  VariantScores baseScores;   ///< the base's campaign on the model and on each variant
  std::vector<Check> checks;  ///< in the order checked; only the last may have passed
  bool kept = true;           ///< no candidate passed: gains are the base's own
  /// Empty when the gains meet both constraints; else what the base itself falls short on (kept: none passed).
  std::string shortfall;
};

/// config's campaign on model and on each of its variants.
inline VariantScores scoreVariants(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                                   const CampaignOptions& campaign);

/// Gains share of the way from base to searched in the search's unit coordinates (the base clipped into bounds);
/// what the search left as it was stays as in base.
inline Gains blendGains(const Gains& base, const Gains& searched, double share);

/// The searched gains, or the first of their blends toward config's (BACK_OFF_SHARES), that settle at least as
/// many of the campaign's runs as config's own on model and on each variant and whose median reversals per second
/// on the model are at most maxReversals, each rounded by roundedGains; config's own when none does. The search sees a
/// sample of the campaign only, so its gains may fall short on the whole.
inline Choice chooseGains(const quarn::dev::DeviceConfig& config, const Gains& searched,
                          const quarn::sim::VehicleModelConfig& model, const CampaignOptions& campaign,
                          double maxReversals = INFINITY);

/// gains rounded to digits significant digits, as a document shows them.
inline Gains roundedGains(const Gains& gains, int digits = 3)
{
  Gains rounded;
  for (std::size_t k = 0; k < gains.size(); ++k)
  {
    const double scale = gains[k] == 0 ? 1 : std::pow(10.0, digits - 1 - std::floor(std::log10(std::abs(gains[k]))));
    rounded[k] = std::round(gains[k] * scale) / scale;
  }
  return rounded;
}

// ---------------------------------------------------------------------------------------------------------------

namespace tuning
{

/// value with precision decimals.
inline std::string fixed(double value, int precision)
{
  std::ostringstream text;
  text << std::fixed << std::setprecision(precision) << value;
  return text.str();
}

/// Search coordinates in [0, 1] of gains, and back.
inline std::vector<double> toUnit(const Gains& gains)
{
  std::vector<double> x(gains.size());
  for (int axis = 0; axis < 4; ++axis)
  {
    const double* g = &gains[3 * axis];
    x[3 * axis] = std::log(std::clamp(g[0], KP_MIN, KP_MAX) / KP_MIN) / std::log(KP_MAX / KP_MIN);
    x[3 * axis + 1] = std::clamp(g[1] / KI_MAX, 0.0, 1.0);
    x[3 * axis + 2] = std::clamp(g[2] / KD_MAX, 0.0, 1.0);
    x[FILTERS + axis] = std::clamp(gains[FILTERS + axis] / FILTER_MAX, 0.0, 1.0);
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
    gains[FILTERS + axis] = FILTER_MAX * x[FILTERS + axis];
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
    gains[FILTERS + axis] = config.axes[axis].derivativeFilter;
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
    result.axes[axis].derivativeFilter = gains[FILTERS + axis];
  }
  return result;
}

inline quarn::sim::VehicleModelConfig scaledModel(const quarn::sim::VehicleModelConfig& model, double scale)
{
  quarn::sim::VehicleModelConfig scaled = model;
  scaled.timeConstant *= scale;
  scaled.delay *= scale;
  scaled.thrusters = scaledThrusterVehicle(model.thrusters, scale);
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
  return weighted / duration + (run.settled ? SETTLING_WEIGHT * run.settlingTime / duration : UNSETTLED_PENALTY);
}

inline SearchScores searchScores(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                                 const TuneOptions& options)
{
  std::vector<quarn::sim::VehicleModelConfig> models;
  for (double scale : MODEL_SCALES)
  {
    models.push_back(scaledModel(model, scale));
  }
  const int jobs = options.scenarios * static_cast<int>(models.size());
  std::vector<double> costs(static_cast<std::size_t>(jobs));
  std::vector<RunResult> runs(static_cast<std::size_t>(jobs));
  inParallel(jobs, options.threads, [&](int j) {
    std::vector<TracePoint> trace;
    runs[j] =
        runScenario(config, models[j / options.scenarios],
                    tuning::spreadScenario(j % options.scenarios, options.seed, config.mode), options.duration, &trace);
    costs[j] = runCost(runs[j], trace, options.duration);
  });
  // Summed in job order, so the cost does not depend on the number of threads.
  SearchScores scores;
  for (int j = 0; j < jobs; ++j)
  {
    const int k = j / options.scenarios;
    scores.costs[k] += costs[j] / options.scenarios;
    scores.settled[k] += runs[j].settled;
    if (k == 0)
    {
      scores.reversals += runs[j].reversalsPerSecond / options.scenarios;
    }
  }
  return scores;
}

namespace tuning
{

/// One point of the search: its gains, cost and how far it is from each constraint (<= 0 where met, in shares of
/// the limit: reversals over the limit, settled runs short of the base's over the scenarios).
struct Point
{
  Gains gains{};
  double cost = 0;
  std::array<double, 1 + MODEL_SCALES.size()> excess{};  ///< reversals, then settled runs per model

  bool meetsReversals() const { return excess[0] <= 0; }
  bool meetsSettling() const { return *std::max_element(excess.begin() + 1, excess.end()) <= 0; }
  double worstExcess() const { return *std::max_element(excess.begin(), excess.end()); }
  /// Sum of the shortfalls: unlike the worst, it shows a step that trades one constraint for another.
  double totalShortfall() const
  {
    double total = 0;
    for (double e : excess)
    {
      total += std::max(e, 0.0);
    }
    return total;
  }
};

/// The state of a search: scores each point once, since NLopt asks for the objective and the constraints of a
/// point in separate calls, and keeps the best point that meets both constraints. The optimiser sees the unit
/// coordinates of the searched entries alone (searchedCoordinates); the others stay the base's.
class Search
{
public:
  Search(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
         const TuneOptions& options)
    : config_(config),
      model_(model),
      options_(options),
      base_(searchScores(config, model, options)),
      baseGains_(gainsOf(config)),
      searched_(searchedCoordinates(config.mode))
  {}

  /// Number of coordinates the optimiser moves.
  unsigned dimension() const { return static_cast<unsigned>(searched_.size()); }

  /// The optimiser's coordinates of the base's gains, clipped into the search bounds.
  std::vector<double> start() const
  {
    const std::vector<double> all = toUnit(baseGains_);
    std::vector<double> unit;
    for (std::size_t k : searched_)
    {
      unit.push_back(all[k]);
    }
    return unit;
  }

  /// The point at the optimiser's coordinates unit, scored on first sight.
  const Point& at(const std::vector<double>& unit)
  {
    if (unit != lastUnit_)
    {
      lastUnit_ = unit;
      last_ = score(gainsAt(unit));
      keep(last_);
      ++evaluations_;
      if (options_.progress)
      {
        options_.progress(evaluations_, best_ ? best_->cost : NAN);
      }
    }
    return last_;
  }

  /// The best point that met both constraints, or the nearest to them with the constraints no point met.
  TuneResult result() const
  {
    TuneResult result;
    result.baseCost = 1;
    result.evaluations = evaluations_;
    const Point& chosen = best_ ? *best_ : nearest_;
    result.gains = chosen.gains;
    result.cost = chosen.cost;
    if (!metReversals_)
    {
      result.unmet.push_back("reversals per second on the model at most " + fixed(options_.maxReversals, 2));
    }
    if (!metSettling_)
    {
      result.unmet.push_back("as many settled runs as the base on the model and both variants");
    }
    if (metReversals_ && metSettling_ && !best_)
    {
      result.unmet.push_back("both limits at once");
    }
    return result;
  }

private:
  Gains gainsAt(const std::vector<double>& unit) const
  {
    std::vector<double> all = toUnit(baseGains_);
    for (std::size_t i = 0; i < searched_.size(); ++i)
    {
      all[searched_[i]] = unit[i];
    }
    Gains gains = fromUnit(all);
    for (std::size_t k = 0; k < gains.size(); ++k)
    {
      const bool searched = std::find(searched_.begin(), searched_.end(), k) != searched_.end();
      gains[k] = searched ? gains[k] : baseGains_[k];
    }
    return gains;
  }

  Point score(const Gains& gains) const
  {
    const SearchScores scores = searchScores(withGains(config_, gains), model_, options_);
    Point point{ gains, 0, {} };
    point.excess[0] = (scores.reversals - options_.maxReversals) / options_.maxReversals;
    for (std::size_t k = 0; k < MODEL_SCALES.size(); ++k)
    {
      point.cost = std::max(point.cost, scores.costs[k] / base_.costs[k]);
      point.excess[k + 1] = static_cast<double>(base_.settled[k] - scores.settled[k]) / options_.scenarios;
    }
    return point;
  }

  void keep(const Point& point)
  {
    metReversals_ = metReversals_ || point.meetsReversals();
    metSettling_ = metSettling_ || point.meetsSettling();
    if (point.worstExcess() <= 0 && (!best_ || point.cost < best_->cost))
    {
      best_ = point;
    }
    if (evaluations_ == 0 || point.worstExcess() < nearest_.worstExcess())
    {
      nearest_ = point;
    }
  }

  const quarn::dev::DeviceConfig& config_;
  const quarn::sim::VehicleModelConfig& model_;
  const TuneOptions& options_;
  SearchScores base_;
  Gains baseGains_;
  std::vector<std::size_t> searched_;
  std::vector<double> lastUnit_;
  Point last_, nearest_;
  std::optional<Point> best_;
  bool metReversals_ = false, metSettling_ = false;
  int evaluations_ = 0;
};

}  // namespace tuning

namespace tuning
{

/// A bounded NLopt optimiser in the search's unit coordinates, spending at most evaluations.
inline nlopt::opt unitOptimiser(nlopt::algorithm algorithm, unsigned dimension, int evaluations)
{
  nlopt::opt optimiser(algorithm, dimension);
  optimiser.set_lower_bounds(std::vector<double>(dimension, 0.0));
  optimiser.set_upper_bounds(std::vector<double>(dimension, 1.0));
  optimiser.set_maxeval(std::max(evaluations, 1));
  optimiser.set_xtol_abs(1e-3);
  return optimiser;
}

/// Runs optimiser from x, which it leaves at the best point it found.
inline void optimiseFrom(nlopt::opt& optimiser, std::vector<double>& x)
{
  double found = 0;
  try
  {
    optimiser.optimize(x, found);
  }
  catch (const nlopt::roundoff_limited&)
  {
    // The best point so far stands.
  }
}

/// Moves x to gains that meet both constraints, spending at most half the search's evaluations: from gains that
/// break them, the trade-off between cost and limits would spend them all before the limits are met.
inline void reachLimits(Search& search, std::vector<double>& x, int evaluations)
{
  // COBYLA's first model takes n + 1 points where BOBYQA's takes 2n + 1.
  nlopt::opt optimiser = unitOptimiser(nlopt::LN_COBYLA, search.dimension(), evaluations / 2);
  optimiser.set_initial_step(0.1);
  optimiser.set_stopval(0);
  optimiser.set_min_objective([](const std::vector<double>& unit, std::vector<double>&,
                                 void* data) { return static_cast<Search*>(data)->at(unit).totalShortfall(); },
                              &search);
  optimiseFrom(optimiser, x);
}

}  // namespace tuning

inline TuneResult tuneGains(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                            const TuneOptions& options)
{
  tuning::Search search(config, model, options);
  std::vector<double> x = search.start();
  if (search.at(x).worstExcess() > 0)
  {
    tuning::reachLimits(search, x, options.evaluations);
  }
  nlopt::opt local(nlopt::LN_BOBYQA, search.dimension());
  local.set_initial_step(0.1);
  // Loose inner tolerances: the multipliers, which hold the search to the limits, update more often.
  local.set_xtol_abs(1e-2);
  local.set_ftol_rel(1e-2);
  nlopt::opt optimiser =
      tuning::unitOptimiser(nlopt::AUGLAG, search.dimension(), options.evaluations - search.result().evaluations);
  optimiser.set_local_optimizer(local);
  optimiser.set_min_objective([](const std::vector<double>& unit, std::vector<double>&,
                                 void* data) { return static_cast<tuning::Search*>(data)->at(unit).cost; },
                              &search);
  const auto constraints = [](unsigned m, double* excess, unsigned n, const double* unit, double*, void* data) {
    const tuning::Point& point = static_cast<tuning::Search*>(data)->at(std::vector<double>(unit, unit + n));
    std::copy(point.excess.begin(), point.excess.begin() + m, excess);
  };
  optimiser.add_inequality_mconstraint(constraints, &search, std::vector<double>(1 + MODEL_SCALES.size(), 0.0));
  if (search.result().evaluations < options.evaluations)
  {
    tuning::optimiseFrom(optimiser, x);
  }
  return search.result();
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
  Gains blend = tuning::fromUnit(x);
  for (std::size_t k = 0; k < blend.size(); ++k)
  {
    blend[k] = searched[k] == base[k] ? base[k] : blend[k];
  }
  return blend;
}

namespace tuning
{

/// What scores, the campaign on the model or variant k, falls short on against the base's and the reversal limit;
/// empty when nothing.
inline std::string shortfallOf(std::size_t k, const Summary& scores, const Summary& base, double maxReversals)
{
  if (k == 0 && scores.reversalsMedian > maxReversals)
  {
    return "median " + fixed(scores.reversalsMedian, 2) + " reversals per second on the model, above " +
           fixed(maxReversals, 2);
  }
  if (scores.settled < base.settled)
  {
    return "settles " + std::to_string(scores.settled) + " runs " + variantName(k) + " against the base's " +
           std::to_string(base.settled);
  }
  return "";
}

}  // namespace tuning

inline Choice chooseGains(const quarn::dev::DeviceConfig& config, const Gains& searched,
                          const quarn::sim::VehicleModelConfig& model, const CampaignOptions& campaign,
                          double maxReversals)
{
  Choice choice;
  choice.gains = gainsOf(config);
  choice.baseScores = scoreVariants(config, model, campaign);
  for (double share : BACK_OFF_SHARES)
  {
    // Checked as the document will show them.
    Check check{ share, roundedGains(blendGains(choice.gains, searched, share)), {}, true, "" };
    // A candidate is out at its first shortfall: the other campaigns would not change that.
    for (std::size_t k = 0; k < MODEL_SCALES.size() && check.passed; ++k)
    {
      check.scores[k] =
          summarise(runCampaign(withGains(config, check.gains), scaledModel(model, MODEL_SCALES[k]), campaign));
      check.shortfall = tuning::shortfallOf(k, check.scores[k], choice.baseScores[k], maxReversals);
      check.passed = check.shortfall.empty();
    }
    choice.checks.push_back(check);
    if (check.passed)
    {
      choice.gains = check.gains;
      choice.kept = false;
      return choice;
    }
  }
  choice.shortfall = tuning::shortfallOf(0, choice.baseScores[0], choice.baseScores[0], maxReversals);
  return choice;
}

}  // namespace quarn::sim
