#ifndef QUARN_SIM_IDENTIFICATION_H
#define QUARN_SIM_IDENTIFICATION_H

// Identification of a vehicle model from a recording: the model's own equations of the per-axis lag behind the
// delayed, clamped set-points, fitted to the recorded velocities, and the water current to the pose changes
// (output error, nonlinear least squares); noise, gust and rates from what the fit leaves over.

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <ceres/ceres.h>

#include <quarn_dev/statistics.h>
#include <quarn_sim/recording.h>
#include <quarn_sim/vehicle_model.h>

namespace quarn::sim
{

/// An estimate with its standard deviation (same unit); the deviation is infinite when the data cannot tell.
struct Estimate
{
  double value = 0;
  double sigma = std::numeric_limits<double>::infinity();
};

/// Every item of a vehicle model as a recording shows it, with the fit's uncertainties.
///
///   Identification id = identifyModel(readRecording("dive.bag", "navigator_data", "behavior_response"));
///   double tauX = id.timeConstant[0].value;
struct Identification
{
  std::array<Estimate, 4> timeConstant;      ///< s: body x, y, world z, yaw rate
  Estimate delay;                            ///< s: set-point to effect
  std::array<Estimate, 3> current;           ///< m/s, world frame
  std::array<double, 4> delayCorrelation{};  ///< correlation of each time constant with the delay (-1 .. 1)
  std::array<double, 4> maxVelocity{};       ///< m/s, rad/s: fitted clamp, at most the largest set-point: a lower bound
  std::array<double, 3> navNoise{};          ///< m (x and y), m (depth), rad (heading): white noise on the poses
  std::array<double, 2> gust{ 0, 1 };        ///< m/s and s: Gauss-Markov sigma and correlation time of the current
  double navRate = 0;                        ///< Hz: from the median interval between navigation messages
  double navLatency = 0;                     ///< s: median of record time minus stamp, 0 without stamps
  std::array<double, 4> explained{};  ///< share (0..1) of the variance of the pose changes over WINDOW the fit explains
  bool fromVelocities = false;        ///< the recorded velocities took part; else poses alone
};

/// Axes a recording never moves: they cannot be identified.
struct NotExcited : std::runtime_error
{
  using std::runtime_error::runtime_error;
};

/// Names of the four axes in output and messages.
constexpr std::array<const char*, 4> MODEL_AXES{ "x", "y", "z", "yaw" };

/// Fits the model to the recording. Throws NotExcited naming the axes whose set-points never change by a tenth.
inline Identification identifyModel(const Recording& recording);

/// The model document of the estimates.
inline quarn::sim::VehicleModelConfig modelOf(const Identification& id);

// ---------------------------------------------------------------------------------------------------------------

namespace identification
{

/// Pose changes over windows of this length (s) carry the current and, without velocities, the dynamics.
constexpr double WINDOW = 1.0;
/// Smallest change of a set-point component (a tenth) that counts as excitation.
constexpr double MIN_EXCITATION = 0.1 - 1e-9;

inline double scalar(double x)
{
  return x;
}

template <typename J>
double scalar(const J& jet)
{
  return jet.a;
}

/// Set-points as the vehicle holds them: each value is in force from its time to the next, or for
/// the model's command timeout; inactive components are zero. Before the first time, nothing is in force.
struct Schedule
{
  std::vector<double> time;
  std::vector<std::array<double, 4>> value;
};

inline Schedule schedule(const std::vector<CommandSample>& commands)
{
  Schedule s;
  for (std::size_t k = 0; k < commands.size(); ++k)
  {
    const CommandSample& c = commands[k];
    std::array<double, 4> value{};
    for (int i = 0; i < 4; ++i)
    {
      value[i] = c.active[i] ? c.value[i] : 0.0;
    }
    s.time.push_back(c.t);
    s.value.push_back(value);
    const double stale = c.t + quarn::sim::VehicleModel::COMMAND_TIMEOUT;
    if (k + 1 == commands.size() || commands[k + 1].t > stale)
    {
      s.time.push_back(stale);
      s.value.push_back({});
    }
  }
  return s;
}

/// What the residuals need of a recording, computed once.
struct Data
{
  std::vector<double> t;                    // navigation times
  std::vector<std::array<double, 4>> pose;  // x, y, z, yaw
  std::vector<std::array<double, 4>> velocity;
  std::vector<double> midHeading;           // heading halfway through each interval (index of its end sample)
  std::vector<std::array<double, 4>> step;  // measured change over each interval (yaw wrapped)
  std::vector<std::size_t> windows;         // sample indices that bound consecutive windows
  Schedule commands;
  bool useVelocity = false, useWindows = true;
  std::array<double, 4> velocityWeight{}, windowWeight{};

  std::size_t velocityCount() const { return useVelocity ? 4 * t.size() : 0; }
  std::size_t residualCount() const { return velocityCount() + (useWindows ? 4 * (windows.size() - 1) : 0); }
};

inline Data prepare(const Recording& r)
{
  Data d;
  for (const NavSample& s : r.navigation)
  {
    d.t.push_back(s.t);
    d.pose.push_back(s.pose);
    d.velocity.push_back(s.velocity);
  }
  d.midHeading.resize(d.t.size());
  d.step.resize(d.t.size());
  d.windows.push_back(0);
  for (std::size_t n = 1; n < d.t.size(); ++n)
  {
    const auto &a = d.pose[n - 1], &b = d.pose[n];
    const double turn = quarn::algebra::normalizeAngle(b[3] - a[3]);
    d.step[n] = { b[0] - a[0], b[1] - a[1], b[2] - a[2], turn };
    d.midHeading[n] = a[3] + turn / 2;
    if (d.t[n] - d.t[d.windows.back()] >= WINDOW - 1e-9)
    {
      d.windows.push_back(n);
    }
  }
  d.commands = schedule(r.commands);
  d.velocityWeight.fill(1 / 0.02);
  d.windowWeight.fill(1 / 0.05);
  return d;
}

/// The model's body velocities walked along the set-point schedule in the vehicle's own time (sample time minus
/// the delay), with the integral of each over the stretch walked since the last reset.
template <typename T>
class LagWalk
{
public:
  /// At rest at velocities v0 at time start, before any step.
  LagWalk(const Schedule& schedule, const T* tau, const T* clamp, const T* v0, const T& start);

  /// Walks to time target (not before the time reached), integrating from zero.
  void walkTo(const T& target);

  std::array<T, 4> v;         ///< body velocities at the time reached (m/s, rad/s)
  std::array<T, 4> integral;  ///< their integral over the last walk (m, rad)

private:
  // Follows the held set-points for h seconds.
  void hold(const T& h);

  const Schedule& s_;
  const T *tau_, *clamp_;
  T time_;
  std::size_t next_;
  std::array<double, 4> held_;
};

template <typename T>
LagWalk<T>::LagWalk(const Schedule& schedule, const T* tau, const T* clamp, const T* v0, const T& start)
  : s_(schedule), tau_(tau), clamp_(clamp), time_(start)
{
  std::copy(v0, v0 + 4, v.begin());
  next_ = std::upper_bound(s_.time.begin(), s_.time.end(), scalar(time_)) - s_.time.begin();
  held_ = next_ == 0 ? std::array<double, 4>{} : s_.value[next_ - 1];
}

template <typename T>
void LagWalk<T>::walkTo(const T& target)
{
  integral.fill(T(0));
  while (next_ < s_.time.size() && s_.time[next_] < scalar(target))
  {
    hold(T(s_.time[next_]) - time_);
    time_ = T(s_.time[next_]);
    held_ = s_.value[next_++];
  }
  hold(target - time_);
  time_ = target;
}

template <typename T>
void LagWalk<T>::hold(const T& h)
{
  if (!(scalar(h) > 0))
  {
    return;
  }
  for (int i = 0; i < 4; ++i)
  {
    const T u = quarn::algebra::saturate(T(held_[i]), clamp_[i]);
    // The lag's decay over h seconds, as its decay over 1 s with the time constant scaled by 1 / h, so that h
    // keeps its slope with respect to the delay.
    const T decay = quarn::sim::lagDecay(T(tau_[i] / h), 1.0);
    integral[i] += u * h + (v[i] - u) * tau_[i] * (T(1) - decay);
    v[i] = quarn::sim::firstOrderStep(v[i], u, decay);
  }
}

/// Residuals of the model against the data: velocities at every sample (when used), then the pose change over
/// each window, weighted. Parameters: time constants (4), delay (1), velocities at the first sample (4),
/// set-point clamps (4), current (3).
struct OutputError
{
  const Data& d;
  // Filled on a plain evaluation: the unweighted residual of every interval's pose change.
  std::vector<std::array<double, 4>>* stepResiduals = nullptr;

  template <typename T>
  bool operator()(const T* tau, const T* delay, const T* v0, const T* clamp, const T* current, T* residuals) const;

  /// The model's pose change over the interval that ends at sample n, from the integral of the body velocities
  /// over it and the current.
  template <typename T>
  std::array<T, 4> poseChange(const std::array<T, 4>& integral, const T* current, std::size_t n) const;
};

template <typename T>
bool OutputError::operator()(const T* tau, const T* delay, const T* v0, const T* clamp, const T* current,
                             T* residuals) const
{
  LagWalk<T> walk(d.commands, tau, clamp, v0, T(d.t[0]) - delay[0]);
  T* out = residuals;
  std::array<T, 4> predicted{};
  std::array<double, 4> measured{};
  std::size_t window = 1;
  for (std::size_t n = 0; n < d.t.size(); ++n)
  {
    walk.walkTo(T(d.t[n]) - delay[0]);
    if (d.useVelocity)
    {
      for (int i = 0; i < 4; ++i)
      {
        *out++ = (walk.v[i] - d.velocity[n][i]) * d.velocityWeight[i];
      }
    }
    if (n == 0)
    {
      continue;
    }
    const std::array<T, 4> change = poseChange(walk.integral, current, n);
    for (int i = 0; i < 4; ++i)
    {
      predicted[i] += change[i];
      measured[i] += d.step[n][i];
    }
    if constexpr (std::is_same_v<T, double>)
    {
      if (stepResiduals != nullptr)
      {
        for (int i = 0; i < 4; ++i)
        {
          (*stepResiduals)[n][i] = d.step[n][i] - change[i];
        }
      }
    }
    if (d.useWindows && window < d.windows.size() && n == d.windows[window])
    {
      for (int i = 0; i < 4; ++i)
      {
        *out++ = (predicted[i] - measured[i]) * d.windowWeight[i];
      }
      predicted.fill(T(0));
      measured.fill(0);
      ++window;
    }
  }
  return true;
}

template <typename T>
std::array<T, 4> OutputError::poseChange(const std::array<T, 4>& integral, const T* current, std::size_t n) const
{
  // The model's own pose step at the mean body velocity of the interval, turned by the heading halfway through.
  const double dt = d.t[n] - d.t[n - 1];
  T x(0), y(0), z(0), heading(d.midHeading[n]);
  const T v[4] = { integral[0] / dt, integral[1] / dt, integral[2] / dt, T(0) };
  const T drift[3] = { current[0], current[1], current[2] };
  quarn::sim::stepPose(x, y, z, heading, v, drift, dt);
  // The heading changes by the yaw rate's integral: the change itself, not the heading stepPose wraps.
  return { x, y, z, integral[3] };
}

/// The fit's parameters, grouped as the residual takes them.
struct Parameters
{
  std::array<double, 4> tau{ 0.5, 0.5, 0.5, 0.5 };
  double delay = 0.1;
  std::array<double, 4> v0{};
  std::array<double, 4> clamp{};
  std::array<double, 3> current{};
};

/// Root mean square of every fourth entry of residuals from offset, in each of the four lanes.
inline std::array<double, 4> laneRms(const double* residuals, std::size_t count)
{
  std::array<double, 4> sum{};
  for (std::size_t k = 0; k < count; ++k)
  {
    sum[k % 4] += residuals[k] * residuals[k];
  }
  for (double& s : sum)
  {
    s = std::sqrt(s / std::max<std::size_t>(count / 4, 1));
  }
  return sum;
}

/// White pose noise from the interval residuals: minus their lag-one autocovariance, which drift of the current
/// barely touches.
inline double whiteNoise(const std::vector<std::array<double, 4>>& steps, int axis)
{
  double sum = 0;
  std::size_t count = 0;
  for (std::size_t n = 2; n < steps.size(); ++n)
  {
    sum += steps[n][axis] * steps[n - 1][axis];
    ++count;
  }
  return count == 0 ? 0.0 : std::sqrt(std::max(0.0, -sum / count));
}

/// Variance the integrated Gauss-Markov current (sigma, correlation time) adds to a position over h seconds.
template <typename T>
T gustVariance(const T& sigma, const T& correlation, double h)
{
  return T(2) * sigma * sigma * correlation * correlation * (h / correlation - T(1) + exp(-h / correlation));
}

/// Misfit of the logarithm of the variance a window of h seconds shows.
struct GustGrowth
{
  double h, variance;
  template <typename T>
  bool operator()(const T* sigma, const T* correlation, T* residual) const
  {
    residual[0] = log(gustVariance(sigma[0], correlation[0], h) + T(1e-12)) - T(std::log(variance));
    return true;
  }
};

/// Gust sigma and correlation time from how the unexplained position change grows with the window length.
inline std::array<double, 2> fitGust(const std::vector<std::array<double, 4>>& steps, const std::vector<double>& t,
                                     const std::array<double, 3>& noise)
{
  ceres::Problem problem;
  double sigma = 0.05, correlation = 2.0;
  const double span = t.back() - t.front();
  for (double h = 0.5; h <= span / 4; h *= 2)
  {
    double sum = 0;
    std::size_t windows = 0, start = 1;
    std::array<double, 3> acc{};
    for (std::size_t n = 1; n < steps.size(); ++n)
    {
      for (int i = 0; i < 3; ++i)
      {
        acc[i] += steps[n][i];
      }
      if (t[n] - t[start - 1] >= h)
      {
        for (int i = 0; i < 3; ++i)
        {
          sum += acc[i] * acc[i] - 2 * noise[i == 2 ? 1 : 0] * noise[i == 2 ? 1 : 0];
        }
        acc = {};
        ++windows;
        start = n + 1;
      }
    }
    if (windows >= 3 && sum > 0)
    {
      problem.AddResidualBlock(
          new ceres::AutoDiffCostFunction<GustGrowth, 1, 1, 1>(new GustGrowth{ h, sum / (3 * windows) }), nullptr,
          &sigma, &correlation);
    }
  }
  if (problem.NumResidualBlocks() < 2)
  {
    return { 0.0, 1.0 };
  }
  problem.SetParameterLowerBound(&sigma, 0, 0.0);
  problem.SetParameterLowerBound(&correlation, 0, 0.05);
  problem.SetParameterUpperBound(&correlation, 0, 120.0);
  ceres::Solver::Options options;
  ceres::Solver::Summary summary;
  ceres::Solve(options, &problem, &summary);
  return { sigma, correlation };
}

/// What bounds the clamps of a fit: per axis the largest |velocity| and the largest |set-point| recorded.
struct Bounds
{
  std::array<double, 4> largestVelocity, largestCommand;
};

/// Adds the output error of data to problem, with the bounds of each parameter.
inline void addFit(ceres::Problem& problem, const Data& data, Parameters& p, const Bounds& bounds)
{
  const auto& [largestVelocity, largestCommand] = bounds;
  problem.AddResidualBlock(new ceres::AutoDiffCostFunction<OutputError, ceres::DYNAMIC, 4, 1, 4, 4, 3>(
                               new OutputError{ data }, static_cast<int>(data.residualCount())),
                           nullptr, p.tau.data(), &p.delay, p.v0.data(), p.clamp.data(), p.current.data());
  for (int i = 0; i < 4; ++i)
  {
    problem.SetParameterLowerBound(p.tau.data(), i, 1e-3);
    problem.SetParameterUpperBound(p.tau.data(), i, 10.0);
    // The clamp lies between the fastest motion recorded (when velocities are) and the largest set-point.
    const double slowest = data.useVelocity ? largestVelocity[i] : 0.1 * largestCommand[i];
    problem.SetParameterLowerBound(p.clamp.data(), i, std::min(slowest, largestCommand[i] - 1e-6));
    problem.SetParameterUpperBound(p.clamp.data(), i, largestCommand[i]);
  }
  if (!data.useWindows)
  {
    problem.SetParameterBlockConstant(p.current.data());
  }
  problem.SetParameterLowerBound(&p.delay, 0, 0.0);
  problem.SetParameterUpperBound(&p.delay, 0, 2.0);
}

/// Solves, weighs each kind of residual by what the solution left of it (so each counts as its own noise), and
/// solves again.
inline void solveWeighted(ceres::Problem& problem, Data& data)
{
  ceres::Solver::Options options;
  options.linear_solver_type = ceres::DENSE_QR;
  options.max_num_iterations = 100;
  ceres::Solver::Summary summary;
  ceres::Solve(options, &problem, &summary);
  std::vector<double> r;
  problem.Evaluate(ceres::Problem::EvaluateOptions(), nullptr, &r, nullptr, nullptr);
  const std::size_t velocityCount = data.velocityCount();
  const auto velocityRms = laneRms(r.data(), velocityCount);
  const auto windowRms = laneRms(r.data() + velocityCount, r.size() - velocityCount);
  for (int i = 0; i < 4; ++i)
  {
    data.velocityWeight[i] = 1 / std::max(velocityRms[i] / data.velocityWeight[i], 1e-3);
    data.windowWeight[i] = 1 / std::max(windowRms[i] / data.windowWeight[i], 1e-3);
  }
  ceres::Solve(options, &problem, &summary);
}

/// Per axis, how much the correlation of a solved problem's residuals widens its uncertainties: the covariance
/// takes every residual as independent, but gusts drift for seconds, so neighbouring residuals miss alike. The
/// square root of 1 + twice the sum of the autocorrelations up to the first one that is not positive; at least 1.
inline std::array<double, 4> correlationWidening(ceres::Problem& problem, const Data& data)
{
  std::vector<double> r;
  problem.Evaluate(ceres::Problem::EvaluateOptions(), nullptr, &r, nullptr, nullptr);
  // The lanes that carry the dynamics: velocities when used, else the windows' pose changes.
  const std::size_t offset = data.useVelocity ? 0 : data.velocityCount();
  const std::size_t count = ((data.useVelocity ? data.velocityCount() : r.size()) - offset) / 4;
  std::array<double, 4> widening{};
  for (int i = 0; i < 4; ++i)
  {
    const auto lane = [&](std::size_t k) { return r[offset + 4 * k + i]; };
    const auto covariance = [&](std::size_t lag) {
      double sum = 0;
      for (std::size_t k = lag; k < count; ++k)
      {
        sum += lane(k) * lane(k - lag);
      }
      return sum / count;
    };
    const double variance = covariance(0);
    double sum = 0;
    for (std::size_t lag = 1; variance > 0 && lag < count / 4; ++lag)
    {
      const double rho = covariance(lag) / variance;
      if (rho <= 0)
      {
        break;
      }
      sum += rho;
    }
    widening[i] = std::sqrt(1 + 2 * sum);
  }
  return widening;
}

/// Standard deviations of the free parameters of a solved problem (residuals weighted to unit variance): the
/// inverse of the information. Where the data cannot tell directions apart they stay infinite, not invented.
inline void uncertainties(ceres::Problem& problem, Parameters& p, Identification& id, bool current)
{
  // A clamp that never binds has no slope at all: the others are uncertain given the clamps.
  problem.SetParameterBlockConstant(p.clamp.data());
  ceres::Covariance::Options options;
  options.algorithm_type = ceres::DENSE_SVD;
  ceres::Covariance covariance(options);
  std::vector<std::pair<const double*, const double*>> blocks;
  if (current)
  {
    blocks.emplace_back(p.current.data(), p.current.data());
  }
  if (!problem.IsParameterBlockConstant(&p.delay))
  {
    blocks.insert(blocks.end(), { { p.tau.data(), p.tau.data() }, { &p.delay, &p.delay }, { p.tau.data(), &p.delay } });
  }
  if (!covariance.Compute(blocks, &problem))
  {
    return;
  }
  if (current)
  {
    double c[9];
    covariance.GetCovarianceBlock(p.current.data(), p.current.data(), c);
    for (int i = 0; i < 3; ++i)
    {
      id.current[i].sigma = std::sqrt(c[4 * i]);
    }
  }
  if (!problem.IsParameterBlockConstant(&p.delay))
  {
    double tauTau[16], delayDelay, tauDelay[4];
    covariance.GetCovarianceBlock(p.tau.data(), p.tau.data(), tauTau);
    covariance.GetCovarianceBlock(&p.delay, &p.delay, &delayDelay);
    covariance.GetCovarianceBlock(p.tau.data(), &p.delay, tauDelay);
    id.delay.sigma = std::sqrt(delayDelay);
    for (int i = 0; i < 4; ++i)
    {
      id.timeConstant[i].sigma = std::sqrt(tauTau[5 * i]);
      id.delayCorrelation[i] = tauDelay[i] / (id.timeConstant[i].sigma * id.delay.sigma);
    }
  }
}

/// Per axis, the largest |set-point| of the recording. Throws NotExcited naming the axes whose set-points never
/// change by MIN_EXCITATION.
inline std::array<double, 4> largestCommands(const Recording& recording)
{
  std::string quiet;
  std::array<double, 4> largest{};
  for (int i = 0; i < 4; ++i)
  {
    double low = 0, high = 0;
    for (const CommandSample& c : recording.commands)
    {
      const double u = c.active[i] ? c.value[i] : 0.0;
      low = std::min(low, u);
      high = std::max(high, u);
      largest[i] = std::max(largest[i], std::abs(u));
    }
    if (high - low < MIN_EXCITATION)
    {
      quiet += std::string(quiet.empty() ? "" : ", ") + MODEL_AXES[i];
    }
  }
  if (!quiet.empty())
  {
    throw NotExcited("the set-points never move axis " + quiet + ": record the vehicle moving on every axis");
  }
  return largest;
}

/// Per axis, the largest |recorded velocity|.
inline std::array<double, 4> largestVelocities(const Recording& recording)
{
  std::array<double, 4> largest{};
  for (const NavSample& s : recording.navigation)
  {
    for (int i = 0; i < 4; ++i)
    {
      largest[i] = std::max(largest[i], std::abs(s.velocity[i]));
    }
  }
  return largest;
}

/// Fits the dynamics (time constants, delay, clamps; the current too without velocities) with their
/// uncertainties, widened by the residuals' correlation.
inline void fitDynamics(Data& data, Parameters& p, const Bounds& bounds, Identification& id)
{
  ceres::Problem dynamics;
  addFit(dynamics, data, p, bounds);
  solveWeighted(dynamics, data);
  id.fromVelocities = data.useVelocity;
  uncertainties(dynamics, p, id, !data.useVelocity);
  // The delay is shared by the axes and widens as much as the most correlated one; a time constant also takes
  // its share of that through its correlation with the delay.
  const std::array<double, 4> widening = correlationWidening(dynamics, data);
  const double delayWidening = *std::max_element(widening.begin(), widening.end());
  id.delay.sigma *= delayWidening;
  for (int i = 0; i < 4; ++i)
  {
    const double c = id.delayCorrelation[i];
    id.timeConstant[i].sigma *= std::sqrt(widening[i] * widening[i] + c * c * (delayWidening * delayWidening - 1));
  }
}

/// Fits the current alone to the pose changes, the dynamics held where fitDynamics left them.
inline void fitDrift(Data& data, Parameters& p, const Bounds& bounds, Identification& id)
{
  data.useVelocity = false;
  data.useWindows = true;
  ceres::Problem drift;
  addFit(drift, data, p, bounds);
  for (double* block : { p.tau.data(), &p.delay, p.v0.data(), p.clamp.data() })
  {
    drift.SetParameterBlockConstant(block);
  }
  solveWeighted(drift, data);
  uncertainties(drift, p, id, true);
}

/// The fitted values into id.
inline void takeValues(const Parameters& p, Identification& id)
{
  id.delay.value = p.delay;
  for (int i = 0; i < 4; ++i)
  {
    id.timeConstant[i].value = p.tau[i];
    id.maxVelocity[i] = p.clamp[i];
  }
  for (int i = 0; i < 3; ++i)
  {
    id.current[i].value = p.current[i];
  }
}

/// What the fit leaves of each interval's pose change: white navigation noise and the gusts. The gusts also
/// widen the current's uncertainty: over the recording they average to a current of their own that no fit can
/// tell from the real one. Returns the leftovers.
inline std::vector<std::array<double, 4>> fitDisturbances(const Data& data, const Parameters& p, Identification& id)
{
  std::vector<std::array<double, 4>> steps(data.t.size());
  OutputError plain{ data, &steps };
  std::vector<double> scratch(data.residualCount());
  plain(p.tau.data(), &p.delay, p.v0.data(), p.clamp.data(), p.current.data(), scratch.data());
  const double noiseXY = std::sqrt((std::pow(whiteNoise(steps, 0), 2) + std::pow(whiteNoise(steps, 1), 2)) / 2);
  id.navNoise = { noiseXY, whiteNoise(steps, 2), whiteNoise(steps, 3) };
  id.gust = fitGust(steps, data.t, id.navNoise);
  const double span = data.t.back() - data.t.front();
  for (Estimate& c : id.current)
  {
    c.sigma = std::hypot(c.sigma, id.gust[0] * std::sqrt(2 * id.gust[1] / span));
  }
  return steps;
}

/// Share (0..1) of the variance of the pose changes of axis over the windows that the fit explains, from the
/// leftover steps.
inline double explainedShare(const Data& data, const std::vector<std::array<double, 4>>& steps, int axis)
{
  double unexplained = 0, variation = 0, mean = 0;
  const std::size_t count = data.windows.size() - 1;
  std::vector<double> change(count), miss(count);
  for (std::size_t w = 0; w < count; ++w)
  {
    for (std::size_t n = data.windows[w] + 1; n <= data.windows[w + 1]; ++n)
    {
      change[w] += data.step[n][axis];
      miss[w] += steps[n][axis];
    }
    mean += change[w] / count;
  }
  for (std::size_t w = 0; w < count; ++w)
  {
    unexplained += miss[w] * miss[w];
    variation += (change[w] - mean) * (change[w] - mean);
  }
  return variation > 0 ? std::max(0.0, 1 - unexplained / variation) : 0.0;
}

/// Navigation rate from the median interval, latency from the median record lag (0 without stamps).
inline void takeRates(const Recording& recording, Identification& id)
{
  std::vector<double> intervals, lags;
  for (std::size_t n = 1; n < recording.navigation.size(); ++n)
  {
    intervals.push_back(recording.navigation[n].t - recording.navigation[n - 1].t);
  }
  for (const NavSample& s : recording.navigation)
  {
    lags.push_back(s.recordLag);
  }
  id.navRate = 1.0 / quarn::dev::median(intervals);
  id.navLatency = recording.stamped ? std::max(0.0, quarn::dev::median(lags)) : 0.0;
}

}  // namespace identification

inline Identification identifyModel(const Recording& recording)
{
  using namespace identification;
  const Bounds bounds{ largestVelocities(recording), largestCommands(recording) };
  Data data = prepare(recording);
  Parameters p;
  p.v0 = recording.navigation.front().velocity;
  // Started below the largest set-point, a clamp that binds at all has a slope to follow.
  for (int i = 0; i < 4; ++i)
  {
    p.clamp[i] = recording.hasVelocity ? std::min(bounds.largestVelocity[i], bounds.largestCommand[i])
                                       : 0.9 * bounds.largestCommand[i];
  }

  // With velocities, they alone pin the dynamics and the pose changes then give the current: the gusts in the
  // pose changes would otherwise leak into the time constants. Without, the pose changes carry everything.
  data.useVelocity = recording.hasVelocity;
  data.useWindows = !recording.hasVelocity;
  Identification id;
  fitDynamics(data, p, bounds, id);
  if (id.fromVelocities)
  {
    fitDrift(data, p, bounds, id);
  }
  takeValues(p, id);
  const std::vector<std::array<double, 4>> steps = fitDisturbances(data, p, id);
  for (int i = 0; i < 4; ++i)
  {
    id.explained[i] = explainedShare(data, steps, i);
  }
  takeRates(recording, id);
  return id;
}

inline quarn::sim::VehicleModelConfig modelOf(const Identification& id)
{
  const auto values = [](const auto& estimates) {
    Eigen::VectorXd v(estimates.size());
    for (std::size_t i = 0; i < estimates.size(); ++i)
    {
      v[i] = estimates[i].value;
    }
    return v;
  };
  quarn::sim::VehicleModelConfig model;
  model.timeConstant = values(id.timeConstant);
  model.delay = id.delay.value;
  model.maxVelocity = Eigen::Map<const Eigen::Vector4d>(id.maxVelocity.data());
  model.current = values(id.current);
  model.gust = Eigen::Map<const Eigen::Vector2d>(id.gust.data());
  model.navRate = id.navRate;
  model.navLatency = id.navLatency;
  model.navNoise = Eigen::Map<const Eigen::Vector3d>(id.navNoise.data());
  return model;
}

}  // namespace quarn::sim

#endif  // QUARN_SIM_IDENTIFICATION_H
