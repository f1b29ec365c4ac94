#pragma once

// The simulated vehicle: its model document (a typed parameter document read with XmlParamMapper) and the one
// implementation of its motion and navigation, shared by vehicle_sim and the scenario campaign.
//
// The equations live in four free function templates, the single implementation of the model: lagDecay,
// firstOrderStep, gustStep and stepPose, with the set-point clamp quarn::algebra::saturate. VehicleModel only
// sequences them on its fixed step of STEP seconds. They are templates on the scalar so that a fit can run them on
// automatic-differentiation types.

#include <array>
#include <cmath>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

#include <Eigen/Core>

#include <quarn_algebra.h>
#include <quarn_dev/hover_lock_core.h>
#include <quarn_sim/camera.h>
#include <quarn_sim/thruster_vehicle.h>
#include <quarn_xml/XmlParamMapper.h>

namespace quarn::sim
{

/// Pose in the world frame: x, y, z in metres, yaw in radians about the z axis (counter-clockwise from x).
struct Pose
{
  double x = 0, y = 0, z = 0, yaw = 0;
};

/// Velocity in the body frame: x ahead, y to the left, z along the world z axis (m/s), yaw rate (rad/s).
struct Velocity
{
  double x = 0, y = 0, z = 0, yaw = 0;
};

/// A velocity set-point with one flag per component (x, y, z, yaw); a component is in force only when its flag is set.
struct Command
{
  Velocity velocity;
  std::array<bool, 4> active{};
};

/// A world point seen from the vehicle: x ahead, y to the left, z along the world z axis (m).
struct Offset
{
  double x = 0, y = 0, z = 0;
};

/// Offset of the world point (px, py, pz) in the frame of a vehicle at `vehicle`, turned as hover_lock turns
/// its target.
inline Offset offsetInVehicleFrame(const Pose& vehicle, double px, double py, double pz)
{
  const Eigen::Vector2d horizontal = quarn::dev::worldToVehicle(vehicle.x, vehicle.y, vehicle.yaw, px, py);
  return { horizontal[0], horizontal[1], pz - vehicle.z };
}

/// The "kind" of a model document: a first-order lag per axis (also a document without the item) or a
/// thruster-driven rigid body (thruster_vehicle.h).
constexpr const char* FIRST_ORDER_KIND = "first_order";
constexpr const char* THRUSTER_KIND = "thrusters";

/// The vehicle model document. Axis order of the 4-vectors: body x, body y, world z, yaw.
/// A document of kind "thrusters" holds the water and navigation items and those of ThrusterVehicleConfig in
/// place of time_constant, delay and max_velocity.
///
///   VehicleModelConfig model = loadVehicleModel(text);   // throws std::runtime_error naming item and rule
///   VehicleModel vehicle(model, { 3, -3, 3, 1 }, 7);
struct VehicleModelConfig
{
  Eigen::VectorXd timeConstant;  ///< "time_constant", 4 values >= 0 (s): first-order lag per axis; 0 follows at once
  double delay = 0;              ///< "delay" >= 0 (s): a set-point takes effect this long after it arrives
  Eigen::VectorXd maxVelocity;   ///< "max_velocity", 4 values > 0 (m/s, rad/s): set-points are clamped to +- this
  Eigen::VectorXd current;       ///< "current", 3 values (m/s): mean world-frame water current
  Eigen::VectorXd gust;          ///< "gust": sigma >= 0 (m/s), correlation time > 0 (s), per current component
  double navRate = 20;           ///< "nav_rate" in (0, 1000] (Hz): navigation messages per second
  double navLatency = 0;         ///< "nav_latency" >= 0 (s): a published pose is the pose of this long ago
  Eigen::VectorXd navNoise;      ///< "nav_noise" >= 0: white noise sigma on x and y (m), depth (m), heading (rad)
  std::optional<CameraConfig> camera;  ///< the optional camera items; none: exact, at every navigation message

  /// "kind": FIRST_ORDER_KIND (also when the item is absent) or THRUSTER_KIND.
  std::string kind = FIRST_ORDER_KIND;
  /// The vehicle of a document of kind THRUSTER_KIND.
  ThrusterVehicleConfig thrusters;
  /// Whether the vehicle is the thruster-driven one.
  bool thrusterDriven() const { return kind == THRUSTER_KIND; }
};

/// Registers the items both kinds share: water and navigation.
inline void mapWaterAndNavigationItems(quarn::xml::XmlParamMapper<VehicleModelConfig>& mapper)
{
  mapper.mapItem("current", &VehicleModelConfig::current);
  mapper.mapItem("gust", &VehicleModelConfig::gust);
  mapper.mapItem("nav_rate", &VehicleModelConfig::navRate);
  mapper.mapItem("nav_latency", &VehicleModelConfig::navLatency);
  mapper.mapItem("nav_noise", &VehicleModelConfig::navNoise);
}

/// Registers the eight items of the first-order model document on mapper (also for writing a document with
/// getXmlString).
inline void mapItems(quarn::xml::XmlParamMapper<VehicleModelConfig>& mapper)
{
  mapper.mapItem("time_constant", &VehicleModelConfig::timeConstant);
  mapper.mapItem("delay", &VehicleModelConfig::delay);
  mapper.mapItem("max_velocity", &VehicleModelConfig::maxVelocity);
  mapWaterAndNavigationItems(mapper);
}

/// Empty when model keeps every rule of the document; otherwise "<item> must ..., got ..." for the first broken one.
inline std::string modelFault(const VehicleModelConfig& model);

/// Reads and checks a model document of either kind; throws std::runtime_error with the parser's, the mapper's or
/// modelFault's text.
inline VehicleModelConfig loadVehicleModel(const std::string& xmlText);

/// The vehicle of old: follows at once, no delay, no clamp to speak of, still water, 20 Hz exact navigation.
inline VehicleModelConfig idealVehicle();

// --- The equations, one step of dt seconds each --------------------------------------------------------------

/// Share of the gap to a held set-point that a first-order lag of timeConstant keeps over dt: exp(-dt / tau),
/// 0 for a time constant of 0 (follows at once). Also the decay of the gust process over dt.
template <typename T>
T lagDecay(const T& timeConstant, double dt)
{
  using std::exp;
  return timeConstant > T(0) ? T(exp(-dt / timeConstant)) : T(0);
}

/// First-order lag dv/dt = (u - v) / timeConstant over a step, with u held, solved exactly;
/// decay = lagDecay(timeConstant, dt).
template <typename T>
T firstOrderStep(const T& v, const T& u, const T& decay)
{
  return u + (v - u) * decay;
}

/// First-order Gauss-Markov process of standard deviation sigma over a step, exact in distribution;
/// decay = lagDecay(correlation time, dt), normal a standard normal draw.
template <typename T>
T gustStep(const T& gust, const T& sigma, const T& decay, double normal)
{
  using std::sqrt;
  return decay * gust + sigma * sqrt(T(1) - decay * decay) * normal;
}

/// Pose after dt seconds at body velocity v (turned into the world by the heading at the start of the step)
/// plus the world-frame drift (current and gust) in x, y, z; heading wrapped into (-pi, pi].
template <typename T>
void stepPose(T& x, T& y, T& z, T& yaw, const T (&v)[4], const T (&drift)[3], double dt)
{
  using std::cos;
  using std::sin;
  const T c = cos(yaw), s = sin(yaw);
  x += (c * v[0] - s * v[1] + drift[0]) * dt;
  y += (s * v[0] + c * v[1] + drift[1]) * dt;
  z += (v[2] + drift[2]) * dt;
  yaw = quarn::algebra::normalizeAngle(T(yaw + v[3] * dt));
}

/// What a navigation message carries: the pose measured at `stamp` (noise added) and the body velocity then.
struct NavigationSample
{
  double stamp = 0;   ///< model time (s) of the pose: publishing time minus the latency
  Pose pose;          ///< x, y, z, yaw with navigation noise; yaw in (-pi, pi]
  Velocity velocity;  ///< body velocity through the water (the model's state), without noise
};

/// The vehicle of a model document, advanced on a fixed step of STEP seconds whatever the navigation rate.
///
/// Per axis i: u_i = the set-point component received at t - delay, 0 when its flag is clear or it is older than
/// COMMAND_TIMEOUT, clamped to +- max_velocity_i; dv_i/dt = (u_i - v_i) / time_constant_i. On a model of kind
/// "thrusters" u goes unclamped to the ThrusterVehicle, which moves v instead. The pose moves with
/// the body velocity turned by the heading, plus the current and a Gauss-Markov gust per component.
/// Time runs from 0 at the start pose; the same seed gives the same run.
///
///   VehicleModel vehicle(loadVehicleModel(text), { 0, 0, 2, 0 }, 1);
///   vehicle.command(cmd, 10.0);                              // received at t = 10 s
///   vehicle.advance(10.1);                                   // integrate up to t = 10.1 s
///   NavigationSample nav = vehicle.navigationAt(10.1);       // what a message published now carries
class VehicleModel
{
public:
  /// Integration step (s).
  static constexpr double STEP = 0.001;
  /// A set-point older than this (s) when it would take effect counts as zero: the vehicle stops when its
  /// controller goes quiet.
  static constexpr double COMMAND_TIMEOUT = 0.5;

  /// At rest at `start` at time 0; gust and navigation noise drawn from generators seeded with `seed`.
  /// Throws std::invalid_argument with modelFault's text for a model that breaks a rule of the document.
  VehicleModel(const VehicleModelConfig& model, const Pose& start, unsigned seed);

  /// Takes a set-point received at `time` (s, not before the previous one); it replaces the previous one
  /// `delay` seconds later.
  void command(const Command& command, double time) { pending_.push_back({ time, command }); }

  /// Integrates whole steps up to `time` (s); an earlier time does nothing.
  void advance(double time);

  /// The message published at `time` (at most the time advanced to): the pose of the step at or before
  /// time - nav_latency (the start pose before 0) with noise, stamped with that step's time.
  NavigationSample navigationAt(double time);

  /// Time reached (s), a whole number of steps.
  double time() const { return static_cast<double>(steps_) * STEP; }
  /// True pose now.
  const Pose& pose() const { return history_.back().pose; }
  /// Body velocity now.
  const Velocity& velocity() const { return history_.back().velocity; }
  /// Set-point of the last step after delay, staleness, flags and clamp (zero before the first step).
  const Velocity& inForce() const { return inForce_; }
  /// The model document.
  const VehicleModelConfig& model() const { return model_; }
  /// The thrusters of a model of kind "thrusters"; null for a first-order one.
  const ThrusterVehicle* thrusters() const { return thrusters_ ? &*thrusters_ : nullptr; }

private:
  struct State
  {
    std::int64_t step;
    Pose pose;
    Velocity velocity;
  };
  struct Received
  {
    double time;
    Command command;
  };

  static const VehicleModelConfig& checked(const VehicleModelConfig& model);
  void step();
  Velocity setPointAt(double time);

  VehicleModelConfig model_;
  std::mt19937 gustRandom_, noiseRandom_;
  std::normal_distribution<double> gustNormal_, noiseNormal_;  // one each: a distribution caches draws
  std::deque<State> history_;                                  // from the pose nav_latency ago to the pose now
  std::int64_t steps_ = 0;
  std::int64_t latencySteps_;
  std::deque<Received> pending_;
  Received latest_{ -1e300, {} };
  Velocity inForce_;
  double decay_[4] = { 0, 0, 0, 0 };  // lagDecay of each axis over STEP
  std::optional<ThrusterVehicle> thrusters_;
  double gustDecay_;
  double gust_[3] = { 0, 0, 0 };
};

// ---------------------------------------------------------------------------------------------------------------

namespace detail
{

inline std::string listed(const Eigen::VectorXd& v)
{
  std::ostringstream text;
  for (Eigen::Index i = 0; i < v.size(); ++i)
  {
    text << (i ? " " : "") << v[i];
  }
  return text.str();
}

// Whether v holds `size` finite numbers, each keeping rule.
template <typename Rule>
bool holds(const Eigen::VectorXd& v, Eigen::Index size, Rule rule)
{
  if (v.size() != size)
  {
    return false;
  }
  for (Eigen::Index i = 0; i < size; ++i)
  {
    if (!std::isfinite(v[i]) || !rule(i, v[i]))
    {
      return false;
    }
  }
  return true;
}

}  // namespace detail

inline std::string modelFault(const VehicleModelConfig& model)
{
  if (model.kind != FIRST_ORDER_KIND && !model.thrusterDriven())
  {
    return std::string("kind must be \"") + FIRST_ORDER_KIND + "\" or \"" + THRUSTER_KIND + "\", got \"" + model.kind +
           "\"";
  }
  const auto any = [](Eigen::Index, double) { return true; };
  const auto nonNegative = [](Eigen::Index, double value) { return value >= 0; };
  const auto positive = [](Eigen::Index, double value) { return value > 0; };
  const auto gust = [](Eigen::Index i, double value) { return i == 0 ? value >= 0 : value > 0; };
  struct VectorRule
  {
    const char* item;
    const Eigen::VectorXd& value;
    Eigen::Index size;
    bool kept;
    const char* rule;
  };
  const VectorRule vectors[] = {
    { "time_constant", model.timeConstant, 4, detail::holds(model.timeConstant, 4, nonNegative),
      "hold 4 finite numbers, each >= 0 (s)" },
    { "max_velocity", model.maxVelocity, 4, detail::holds(model.maxVelocity, 4, positive),
      "hold 4 finite numbers, each > 0 (m/s, m/s, m/s, rad/s)" },
    { "current", model.current, 3, detail::holds(model.current, 3, any), "hold 3 finite numbers (m/s)" },
    { "gust", model.gust, 2, detail::holds(model.gust, 2, gust),
      "hold 2 finite numbers: sigma >= 0 (m/s) and correlation time > 0 (s)" },
    { "nav_noise", model.navNoise, 3, detail::holds(model.navNoise, 3, nonNegative),
      "hold 3 finite numbers, each >= 0 (m, m, rad)" },
  };
  for (const VectorRule& v : vectors)
  {
    const bool firstOrderOnly = v.size == 4;  // time_constant and max_velocity
    if (!v.kept && !(firstOrderOnly && model.thrusterDriven()))
    {
      return std::string(v.item) + " must " + v.rule + ", got \"" + detail::listed(v.value) + "\"";
    }
  }
  const detail::RealRule reals[] = {
    { "delay", model.delay, model.delay >= 0, "be finite and >= 0 (s)" },
    { "nav_rate", model.navRate, model.navRate > 0 && model.navRate <= 1000, "be > 0 and <= 1000 (Hz)" },
    { "nav_latency", model.navLatency, model.navLatency >= 0, "be finite and >= 0 (s)" },
  };
  const std::string broken = detail::brokenReal(reals);
  if (!broken.empty())
  {
    return broken;
  }
  return model.thrusterDriven() ? thrusterFault(model.thrusters) : std::string();
}

inline VehicleModelConfig loadVehicleModel(const std::string& xmlText)
{
  quarn::xml::XmlParamDoc doc;
  doc.loadXmlString(xmlText);
  const std::string kindPath = doc.getRootTagName() + "/kind";
  VehicleModelConfig model;
  model.kind = doc.itemExists(kindPath) ? doc.getString(kindPath) : FIRST_ORDER_KIND;
  if (model.kind != FIRST_ORDER_KIND && !model.thrusterDriven())
  {
    throw std::runtime_error(modelFault(model));  // before the items, which depend on the kind
  }
  const std::string kind = model.kind;
  quarn::xml::XmlParamMapper<VehicleModelConfig> mapper;
  if (kind == THRUSTER_KIND)
  {
    mapWaterAndNavigationItems(mapper);
  }
  else
  {
    mapItems(mapper);
  }
  mapper.loadXmlString(xmlText);
  model = mapper.data();
  model.kind = kind;
  if (kind == THRUSTER_KIND)
  {
    quarn::xml::XmlParamMapper<ThrusterVehicleConfig> thrusterMapper;
    mapThrusterItems(thrusterMapper);
    thrusterMapper.loadXmlString(xmlText);
    model.thrusters = thrusterMapper.data();
  }
  const std::string fault = modelFault(model);
  if (!fault.empty())
  {
    throw std::runtime_error(fault);
  }
  model.camera = readCamera(xmlText);
  return model;
}

inline VehicleModelConfig idealVehicle()
{
  VehicleModelConfig model;
  model.timeConstant = Eigen::Vector4d::Zero();
  model.delay = 0;
  model.maxVelocity = Eigen::Vector4d::Constant(1e6);
  model.current = Eigen::Vector3d::Zero();
  model.gust = Eigen::Vector2d(0, 1);
  model.navRate = 20;
  model.navLatency = 0;
  model.navNoise = Eigen::Vector3d::Zero();
  return model;
}

inline VehicleModel::VehicleModel(const VehicleModelConfig& model, const Pose& start, unsigned seed)
  : model_(checked(model)),
    gustRandom_(seed),
    noiseRandom_(seed ^ 0x9e3779b9u),
    latencySteps_(static_cast<std::int64_t>(std::floor(model.navLatency / STEP + 1e-9)))
{
  history_.push_back({ 0, start, {} });
  if (model_.thrusterDriven())
  {
    thrusters_.emplace(model_.thrusters);
  }
  for (int i = 0; i < 4 && !thrusters_; ++i)
  {
    decay_[i] = lagDecay(model_.timeConstant[i], STEP);
  }
  gustDecay_ = lagDecay(model_.gust[1], STEP);
  // The gust starts from its stationary distribution: a run does not begin in calm water.
  for (double& g : gust_)
  {
    g = model_.gust[0] * gustNormal_(gustRandom_);
  }
}

inline const VehicleModelConfig& VehicleModel::checked(const VehicleModelConfig& model)
{
  // The vectors are indexed without checks on every step.
  const std::string fault = modelFault(model);
  if (!fault.empty())
  {
    throw std::invalid_argument(fault);
  }
  return model;
}

inline void VehicleModel::advance(double time)
{
  // A time a rounding error short of a step boundary still reaches it.
  const auto target = static_cast<std::int64_t>(std::floor(time / STEP + 1e-6));
  while (steps_ < target)
  {
    step();
  }
}

inline Velocity VehicleModel::setPointAt(double time)
{
  // Times within a microsecond count as equal: commands given at a navigation time k / rate take effect on the
  // step that starts then, not one step later.
  constexpr double SAME = 1e-6;
  while (!pending_.empty() && pending_.front().time + model_.delay <= time + SAME)
  {
    latest_ = pending_.front();
    pending_.pop_front();
  }
  const bool fresh = time - model_.delay - latest_.time <= COMMAND_TIMEOUT + SAME;
  const Velocity& v = latest_.command.velocity;
  const double components[4] = { v.x, v.y, v.z, v.yaw };
  double u[4];
  for (int i = 0; i < 4; ++i)
  {
    const bool given = fresh && latest_.command.active[i];
    u[i] = !given ? 0.0 : thrusters_ ? components[i] : quarn::algebra::saturate(components[i], model_.maxVelocity[i]);
  }
  return { u[0], u[1], u[2], u[3] };
}

inline void VehicleModel::step()
{
  inForce_ = setPointAt(time());
  const State& now = history_.back();
  const double u[4] = { inForce_.x, inForce_.y, inForce_.z, inForce_.yaw };
  const double before[4] = { now.velocity.x, now.velocity.y, now.velocity.z, now.velocity.yaw };
  double v[4] = { before[0], before[1], before[2], before[3] };
  if (thrusters_)
  {
    thrusters_->step(v, u, STEP);
  }
  for (int i = 0; i < 4 && !thrusters_; ++i)
  {
    v[i] = firstOrderStep(before[i], u[i], decay_[i]);
  }
  double drift[3];
  for (int i = 0; i < 3; ++i)
  {
    if (model_.gust[0] > 0)
    {
      gust_[i] = gustStep(gust_[i], model_.gust[0], gustDecay_, gustNormal_(gustRandom_));
    }
    drift[i] = model_.current[i] + gust_[i];
  }
  Pose p = now.pose;
  stepPose(p.x, p.y, p.z, p.yaw, v, drift, STEP);
  ++steps_;
  history_.push_back({ steps_, p, { v[0], v[1], v[2], v[3] } });
  while (history_.front().step < steps_ - latencySteps_)
  {
    history_.pop_front();
  }
}

inline NavigationSample VehicleModel::navigationAt(double time)
{
  const auto published = static_cast<std::int64_t>(std::floor(time / STEP + 1e-6));
  const std::int64_t wanted = published - latencySteps_;
  auto state = history_.begin();
  while (std::next(state) != history_.end() && std::next(state)->step <= wanted)
  {
    ++state;
  }
  const auto noise = [this](double sigma) { return sigma > 0 ? sigma * noiseNormal_(noiseRandom_) : 0.0; };
  NavigationSample sample;
  sample.stamp = static_cast<double>(wanted) * STEP;  // before 0 the vehicle rested at the start pose
  sample.pose.x = state->pose.x + noise(model_.navNoise[0]);
  sample.pose.y = state->pose.y + noise(model_.navNoise[0]);
  sample.pose.z = state->pose.z + noise(model_.navNoise[1]);
  sample.pose.yaw = quarn::algebra::normalizeAngle(state->pose.yaw + noise(model_.navNoise[2]));
  sample.velocity = state->velocity;
  return sample;
}

}  // namespace quarn::sim
