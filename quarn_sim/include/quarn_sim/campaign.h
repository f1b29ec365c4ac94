#pragma once

// The scenario campaign: hover_lock's own arithmetic (pose error, four controllers, rounding to tenths) against
// the vehicle model, run in-process over a set of starting conditions, with per-run metrics and a summary.
//
//   quarn::sim::CampaignOptions options;                        // 256 runs of 60 s, seed 1, 2 threads
//   auto runs = quarn::sim::runCampaign(config, model, options);
//   quarn::sim::Summary summary = quarn::sim::summarise(runs);

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <optional>
#include <thread>
#include <vector>

#include <quarn_dev/hover_lock_core.h>
#include <quarn_dev/statistics.h>
#include <quarn_pid.h>

#include <quarn_sim/command.h>
#include <quarn_sim/vehicle_model.h>

namespace quarn::sim
{

/// A run counts as settled once every axis stays within these for HOLD seconds up to its end.
constexpr double POSITION_TOLERANCE = 0.1;  // m
constexpr double HEADING_TOLERANCE = 0.05;  // rad
constexpr double HOLD = 5.0;                // s
/// RMS errors are taken over the last this many seconds of a run (the whole run when shorter).
constexpr double RMS_WINDOW = 20.0;  // s
/// Conditions of the standard set: 16 horizontal offsets x 4 heading offsets x current on/off x 2 depth offsets.
constexpr int STANDARD_CONDITIONS = 256;
/// Conditions of the mode 0 set: 16 target positions x current on/off; the set repeats them with new seeds.
constexpr int SERVOING_CONDITIONS = 32;
/// Where every mode 0 run starts: x, y (m), depth 2 m, heading 0.
inline const Pose SERVOING_START{ 0.0, 0.0, 2.0, 0.0 };

/// Axes of the errors and commands: x, y, depth (m), heading (rad).
using Axes = std::array<double, 4>;
/// The tolerance of each axis.
constexpr Axes TOLERANCE{ POSITION_TOLERANCE, POSITION_TOLERANCE, POSITION_TOLERANCE, HEADING_TOLERANCE };

/// Starting condition of one run: offsets from the configuration's desired pose, current on or off, noise seed.
struct Scenario
{
  int run = 0;                              ///< index in the standard set
  double dx = 0, dy = 0, dz = 0, dyaw = 0;  ///< start minus target: world x, y, z (m) and heading (rad)
  bool current = true;                      ///< whether the model's mean current flows (gusts always do)
  unsigned seed = 1;                        ///< seed of the gusts and the navigation noise
};

/// What a run shows.
struct RunResult
{
  Scenario scenario;
  bool settled = false;
  double settlingTime = NAN;      ///< s: last time an axis was outside its tolerance (0: never was); NaN unless settled
  Axes rms{};                     ///< RMS of the true error per axis over the last RMS_WINDOW seconds
  Axes finalError{};              ///< true pose minus target at the end (heading wrapped)
  Axes largestCommand{};          ///< largest |published set-point| per axis (m/s, rad/s)
  double reversalsPerSecond = 0;  ///< sign changes of the published set-points, all four axes, per second
  std::optional<ThrusterUse> thrusters;  ///< what the thrusters did, on a vehicle of kind "thrusters"
  Axes variationPerSecond{};  ///< sum of |change| of the published set-point per axis over the duration (1/s)
  /// Largest |published set-point| per axis once settled (after the last step outside the tolerances); NaN unless
  /// settled.
  Axes settledCommand{ NAN, NAN, NAN, NAN };
};

/// One navigation step of a run: its time, the true error and the published set-point per axis.
struct TracePoint
{
  double t;
  Axes error, command;
};

/// The metrics of a run from its steps, whatever ran it: the campaign, or a recorded run of the real node.
class RunMetrics
{
public:
  /// For a run of duration seconds.
  explicit RunMetrics(double duration) : duration_(duration) {}

  /// One step at t (s): true error and published set-point per axis.
  void add(double t, const Axes& error, const Axes& command);

  /// The metrics of the steps so far (scenario left default).
  RunResult result() const;

private:
  double duration_;
  RunResult result_;
  double lastOutside_ = -1;
  Axes squares_{}, lastSign_{}, variation_{}, sinceOutside_{};
  std::optional<Axes> lastCommand_;
  int inWindow_ = 0, reversals_ = 0;
};

/// Size and seed of a campaign.
struct CampaignOptions
{
  int runs = STANDARD_CONDITIONS;  ///< number of runs
  int first = 0;                   ///< run i takes run first + i of the standard set
  double duration = 60.0;          ///< simulated seconds per run
  unsigned seed = 1;               ///< noise seed of the standard set's run 0 (run i: seed + i)
  int threads = 2;                 ///< runs are spread over this many threads
};

/// Medians and percentiles over a campaign.
struct Summary
{
  int runs = 0, settled = 0;
  std::optional<double> settlingP50, settlingP95;  ///< s; none when fewer runs settled than the percentile needs
  Axes rmsMedian{};                                ///< median over the runs of the RMS per axis
  double reversalsMedian = 0;                      ///< median reversals per second
  std::optional<ThrusterUse> thrusters;            ///< mean over the runs of what the thrusters did, if any
  Axes variationMedian{};                          ///< median over the runs of the command variation per second
  Axes settledCommandMedian{};  ///< median over the settled runs of the largest command once settled; NaN if none
};

/// Run i of the standard set (see the README): horizontal offset 1 m or 3 m in one of 8 directions (fastest
/// changing), heading offset +1, -1, +3 or -3 rad, current on then off, depth offset +1 then -1 m (slowest).
inline Scenario standardScenario(int i, unsigned seed);

/// Run i of the mode 0 set: a visual target 1 m or 3 m from SERVOING_START in one of 8 directions (fastest
/// changing; dx, dy hold start minus target), current on then off, seed + i; past 32 the conditions repeat.
inline Scenario servoingScenario(int i, unsigned seed);

/// One run of duration seconds of hover_lock in mode 0 against the vehicle of model from SERVOING_START: the
/// model's camera (exact, at every navigation message, without camera items) sends the target's offset, the node
/// steps on each correction after the first, which arms the capture of depth and heading from navigation.
/// The error is the target's offset from the true pose and the depth and heading off the captured references.
inline RunResult runServoingScenario(const quarn::dev::DeviceConfig& config, const VehicleModelConfig& model,
                                     const Scenario& scenario, double duration,
                                     std::vector<TracePoint>* trace = nullptr);

/// One run of duration seconds of hover_lock configured by config against the vehicle of model; each step's point
/// goes to trace when given. Mode 0 runs runServoingScenario; any other mode is stepped as mode 1, at the model's
/// navigation rate.
inline RunResult runScenario(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                             const Scenario& scenario, double duration, std::vector<TracePoint>* trace = nullptr);

/// options.runs runs of the standard set (the mode 0 set for a mode 0 config) from options.first on, spread over
/// options.threads threads; results in run order, the same whatever the number of threads.
inline std::vector<RunResult> runCampaign(const quarn::dev::DeviceConfig& config,
                                          const quarn::sim::VehicleModelConfig& model, const CampaignOptions& options);

/// Calls job(i) for every i in [0, count), spread over threads threads (the caller's among them); each i once.
template <typename Job>
void inParallel(int count, int threads, const Job& job);

/// Counts, settling percentiles (nearest rank, unsettled runs last) and medians of the runs.
inline Summary summarise(const std::vector<RunResult>& runs);

// ---------------------------------------------------------------------------------------------------------------

namespace detail
{

// The water of model for scenario: without the mean current when the scenario has none.
inline VehicleModelConfig inWater(const VehicleModelConfig& model, const Scenario& scenario)
{
  VehicleModelConfig water = model;
  if (!scenario.current)
  {
    water.current.setZero();
  }
  return water;
}

// The pose a navigation message carries to the node: no roll or pitch.
inline quarn::dev::NavigationPose navigationPose(const NavigationSample& sample)
{
  return { sample.pose.x, sample.pose.y, sample.pose.z, 0, 0, sample.pose.yaw };
}

// One control step at t as the node takes it, with a time step of periodMs: a step with a response commands the
// vehicle, one without leaves it on the set-point it had (command, kept between steps). The step's true error and
// the set-point published go to metrics and trace.
inline void stepAndRecord(const quarn::dev::ControlStep& controlStep, const Axes& measure, long periodMs, double t,
                          const Axes& error, VehicleModel& vehicle, Command& command, RunMetrics& metrics,
                          std::vector<TracePoint>* trace)
{
  const quarn::dev::StepResult step = controlStep(measure, periodMs);
  if (step.status == quarn::dev::StepResult::STEPPED)
  {
    command = toCommand(step.response);
    vehicle.command(command, t);
  }
  const Axes published{ command.velocity.x, command.velocity.y, command.velocity.z, command.velocity.yaw };
  metrics.add(t, error, published);
  if (trace)
  {
    trace->push_back({ t, error, published });
  }
}

// What a run of scenario came to: its metrics, and on a thruster-driven vehicle what the thrusters did.
inline RunResult resultOf(const RunMetrics& metrics, const Scenario& scenario, const VehicleModel& vehicle)
{
  RunResult result = metrics.result();
  result.scenario = scenario;
  if (vehicle.thrusters())
  {
    result.thrusters = vehicle.thrusters()->use();
  }
  return result;
}

}  // namespace detail

inline Scenario standardScenario(int i, unsigned seed)
{
  const int c = i % STANDARD_CONDITIONS;
  const double direction = (c % 8) * M_PI / 4, radius = (c / 8) % 2 ? 3.0 : 1.0;
  const double headings[] = { 1.0, -1.0, 3.0, -3.0 };
  Scenario s;
  s.run = i;
  s.dx = radius * std::cos(direction);
  s.dy = radius * std::sin(direction);
  s.dyaw = headings[(c / 16) % 4];
  s.current = (c / 64) % 2 == 0;
  s.dz = (c / 128) % 2 ? -1.0 : 1.0;
  s.seed = seed + static_cast<unsigned>(i);
  return s;
}

inline RunResult runScenario(const quarn::dev::DeviceConfig& config, const quarn::sim::VehicleModelConfig& model,
                             const Scenario& scenario, double duration, std::vector<TracePoint>* trace)
{
  if (config.mode == 0)
  {
    return runServoingScenario(config, model, scenario, duration, trace);
  }
  const Eigen::VectorXd& target = config.desiredPose;
  const quarn::sim::Pose start{ target[0] + scenario.dx, target[1] + scenario.dy, target[2] + scenario.dz,
                                quarn::algebra::normalizeAngle(target[5] + scenario.dyaw) };
  quarn::sim::VehicleModel vehicle(detail::inWater(model, scenario), start, scenario.seed);

  std::array<pid::CPid, 4> pids;
  const quarn::dev::ControlStep controlStep(pids);
  controlStep.init(config);
  // The node's clock-driven step sees the time between two navigation messages in whole milliseconds.
  const long periodMs = static_cast<long>(std::floor(1000.0 / model.navRate));
  const auto steps = static_cast<long>(std::floor(duration * model.navRate + 1e-9));

  RunMetrics metrics(duration);
  quarn::sim::Command command{};
  for (long k = 0; k <= steps; ++k)
  {
    const double t = static_cast<double>(k) / model.navRate;
    vehicle.advance(t);
    const quarn::sim::Pose& p = vehicle.pose();
    const Axes error{ p.x - target[0], p.y - target[1], p.z - target[2],
                      quarn::algebra::normalizeAngle(p.yaw - target[5]) };

    const Eigen::Vector4d measure =
        quarn::dev::computeErrorPosition(detail::navigationPose(vehicle.navigationAt(t)), target);
    detail::stepAndRecord(controlStep, { measure[0], measure[1], measure[2], measure[3] }, periodMs, t, error, vehicle,
                          command, metrics, trace);
  }
  return detail::resultOf(metrics, scenario, vehicle);
}

inline void RunMetrics::add(double t, const Axes& error, const Axes& command)
{
  bool outside = false;
  const bool counted = t > duration_ - RMS_WINDOW;
  inWindow_ += counted;
  for (int i = 0; i < 4; ++i)
  {
    outside = outside || std::abs(error[i]) >= TOLERANCE[i];
    squares_[i] += counted ? error[i] * error[i] : 0;
    result_.largestCommand[i] = std::max(result_.largestCommand[i], std::abs(command[i]));
    variation_[i] += lastCommand_ ? std::abs(command[i] - (*lastCommand_)[i]) : 0;
    if (command[i] != 0)
    {
      reversals_ += lastSign_[i] * command[i] < 0;
      lastSign_[i] = command[i];
    }
  }
  lastOutside_ = outside ? t : lastOutside_;
  for (int i = 0; i < 4; ++i)
  {
    sinceOutside_[i] = outside ? 0 : std::max(sinceOutside_[i], std::abs(command[i]));
  }
  lastCommand_ = command;
  result_.finalError = error;
}

inline RunResult RunMetrics::result() const
{
  RunResult r = result_;
  for (int i = 0; i < 4; ++i)
  {
    r.rms[i] = std::sqrt(squares_[i] / std::max(inWindow_, 1));
  }
  const double settling = std::max(lastOutside_, 0.0);
  r.settled = duration_ - settling >= HOLD;
  r.settlingTime = r.settled ? settling : NAN;
  r.reversalsPerSecond = duration_ > 0 ? reversals_ / duration_ : 0;
  for (int i = 0; i < 4; ++i)
  {
    r.variationPerSecond[i] = duration_ > 0 ? variation_[i] / duration_ : 0;
    r.settledCommand[i] = r.settled ? sinceOutside_[i] : NAN;
  }
  return r;
}

template <typename Job>
void inParallel(int count, int threads, const Job& job)
{
  std::atomic<int> next{ 0 };
  const auto work = [&] {
    for (int i = next++; i < count; i = next++)
    {
      job(i);
    }
  };
  std::vector<std::thread> others;
  for (int t = 1; t < threads; ++t)
  {
    others.emplace_back(work);
  }
  work();
  for (std::thread& thread : others)
  {
    thread.join();
  }
}

inline std::vector<RunResult> runCampaign(const quarn::dev::DeviceConfig& config,
                                          const quarn::sim::VehicleModelConfig& model, const CampaignOptions& options)
{
  std::vector<RunResult> results(static_cast<std::size_t>(std::max(options.runs, 0)));
  inParallel(options.runs, options.threads, [&](int i) {
    const int run = options.first + i;
    const Scenario scenario =
        config.mode == 0 ? servoingScenario(run, options.seed) : standardScenario(run, options.seed);
    results[i] = runScenario(config, model, scenario, options.duration);
  });
  return results;
}

inline Summary summarise(const std::vector<RunResult>& runs)
{
  Summary summary;
  summary.runs = static_cast<int>(runs.size());
  std::vector<double> settling;
  std::vector<double> rms[4], variation[4], settledCommand[4], reversals;
  std::vector<ThrusterUse> thrusters;
  for (const RunResult& r : runs)
  {
    if (r.thrusters)
    {
      thrusters.push_back(*r.thrusters);
    }
    if (r.settled)
    {
      settling.push_back(r.settlingTime);
    }
    for (int i = 0; i < 4; ++i)
    {
      rms[i].push_back(r.rms[i]);
      variation[i].push_back(r.variationPerSecond[i]);
      if (r.settled)
      {
        settledCommand[i].push_back(r.settledCommand[i]);
      }
    }
    reversals.push_back(r.reversalsPerSecond);
  }
  summary.settled = static_cast<int>(settling.size());
  std::sort(settling.begin(), settling.end());
  const auto percentile = [&](double share) -> std::optional<double> {
    const std::size_t rank = quarn::dev::nearestRank(runs.size(), share);
    if (rank == 0 || rank > settling.size())
    {
      return std::nullopt;
    }
    return settling[rank - 1];
  };
  summary.settlingP50 = percentile(0.5);
  summary.settlingP95 = percentile(0.95);
  for (int i = 0; i < 4; ++i)
  {
    summary.rmsMedian[i] = quarn::dev::median(rms[i]);
    summary.variationMedian[i] = quarn::dev::median(variation[i]);
    summary.settledCommandMedian[i] = quarn::dev::median(settledCommand[i]);
  }
  summary.reversalsMedian = quarn::dev::median(reversals);
  if (!thrusters.empty())
  {
    summary.thrusters = averageUse(thrusters);
  }
  return summary;
}

}  // namespace quarn::sim

#include <quarn_sim/servoing.h>
