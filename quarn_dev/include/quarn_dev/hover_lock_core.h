#ifndef QUARN_DEV_HOVER_LOCK_CORE_H
#define QUARN_DEV_HOVER_LOCK_CORE_H

// Arithmetic of the hover_lock node, kept free of ROS plumbing: the configuration record, its checks and the
// start-up messages that say what to change, the pose error of a navigation step, the rounding of controller
// outputs and the response they fill, and the control step of the four controllers.

#include <math.h>

#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <Eigen/Core>

#include <quarn_algebra.h>
#include <quarn_common/BhResponse.h>
#include <quarn_common/NavigationData.h>
#include <quarn_common/VisualServoingData.h>
#include <quarn_dev/axis_options.h>
#include <quarn_dev/item_hints.h>
#include <quarn_pid.h>
#include <quarn_xml/XmlParamMapper.h>

namespace quarn
{
namespace dev
{

/// Configuration of the hover_lock node, filled from its XML document by an XmlParamMapper.
///
///   quarn::xml::XmlParamMapper<DeviceConfig> mapper;
///   mapItems(mapper);
///   mapper.loadXmlString(text);
///   if (configShortfall(mapper.data()).empty()) { ... }
struct DeviceConfig
{
  Eigen::VectorXd pidConfigX;    ///< x controller gains: proportional, integral, derivative; 3 or more (extra ignored)
  Eigen::VectorXd pidConfigY;    ///< y controller gains, same layout
  Eigen::VectorXd pidConfigZ;    ///< z (depth) controller gains, same layout
  Eigen::VectorXd pidConfigYaw;  ///< yaw controller gains, same layout
  Eigen::VectorXd desiredPose;   ///< pose held in mode 1: x, y, z, unused, unused, yaw (rad); 6 or more
  int mode = 0;        ///< 0 visual-servoing correction, 1 navigation-driven pose holding, else publish nothing
  AxisOptionSet axes;  ///< optional bounds and derivative filters of x, y, z, yaw, read by readAxisOptions
};

/// Four values, one per controller: x, y, z, yaw.
using PerAxis = std::array<double, 4>;

/// Pose array of a navigation message: x, y, z at 0..2, yaw (rad) at 5.
using NavigationPose = quarn_common::NavigationData::_pose_type;

/// One item of the configuration document: an element under the root named after the item.
struct ConfigItem
{
  const char* name;                                                           ///< element name
  std::variant<Eigen::VectorXd DeviceConfig::*, int DeviceConfig::*> member;  ///< field the item fills
  Eigen::Index minSize;                                                       ///< fewest numbers of a vector item
  const char* exampleValue;                                                   ///< value text of a sound item
};

/// The node's six items in the node's registration order: the four gain vectors, "desired_pose", then "mode".
inline const ConfigItem CONFIG_ITEMS[] = {
  { "pid_config_x", &DeviceConfig::pidConfigX, 3, "0.5 0.0 0.0" },
  { "pid_config_y", &DeviceConfig::pidConfigY, 3, "0.5 0.0 0.0" },
  { "pid_config_z", &DeviceConfig::pidConfigZ, 3, "0.5 0.0 0.0" },
  { "pid_config_yaw", &DeviceConfig::pidConfigYaw, 3, "0.5 0.0 0.0" },
  { "desired_pose", &DeviceConfig::desiredPose, 6, "0.0 0.0 2.0 0.0 0.0 0.0" },
  { "mode", &DeviceConfig::mode, 0, "1" },
};

/// Type name of item, as its "type" attribute holds it.
inline const std::string& typeName(const ConfigItem& item)
{
  return std::holds_alternative<int DeviceConfig::*>(item.member) ? quarn::xml::XmlParamDoc::INTEGER_TYPE
                                                                  : quarn::xml::XmlParamDoc::VECTOR_TYPE;
}

/// A sound element of item, e.g. <mode type="integer" value="1"/>.
inline std::string exampleElement(const ConfigItem& item)
{
  return std::string("<") + item.name + " type=\"" + typeName(item) + "\" value=\"" + item.exampleValue + "\"/>";
}

/// The six items as DocumentItem, for the hints of a load failure.
inline std::vector<DocumentItem> documentItems()
{
  std::vector<DocumentItem> items;
  for (const ConfigItem& item : CONFIG_ITEMS)
  {
    items.push_back({ item.name, typeName(item), exampleElement(item) });
  }
  return items;
}

/// Registers item on mapper.
inline void mapItem(quarn::xml::XmlParamMapper<DeviceConfig>& mapper, const ConfigItem& item)
{
  std::visit([&](auto member) { mapper.mapItem(item.name, member); }, item.member);
}

/// Registers the node's six configuration items on mapper, in the order of CONFIG_ITEMS.
inline void mapItems(quarn::xml::XmlParamMapper<DeviceConfig>& mapper)
{
  for (const ConfigItem& item : CONFIG_ITEMS)
  {
    mapItem(mapper, item);
  }
}

/// Empty when every vector of config is long enough; otherwise names the first short item and its length.
inline std::string configShortfall(const DeviceConfig& config);

/// Why the parameter resolvedName, looked up in namespace ns, gave no text, and how to fill it; isSet tells
/// a value of another type from no value at all.
inline std::string missingConfigMessage(const std::string& resolvedName, const std::string& ns, bool isSet);

/// The mapper's error for the text xmlConfig of the parameter resolvedName, followed by what to change: how to
/// fill the parameter when the text is empty or looks like a file name, or which items the document needs and
/// which of its elements is probably one of them misspelt.
inline std::string loadFailureMessage(const std::string& error, const std::string& xmlConfig,
                                      const std::string& resolvedName);

/// A world point (px, py) in the frame of a vehicle at (x, y) heading yaw (rad): how far it lies ahead of and to
/// the left of the vehicle (m).
///
///   Eigen::Vector2d offset = worldToVehicle(1, 2, M_PI / 2, 1, 5);   // (3, 0): 3 m ahead
inline Eigen::Vector2d worldToVehicle(double x, double y, double yaw, double px, double py);

/// Pose error of a step in mode 1: target offset ahead of and across the vehicle's heading (desired minus
/// current, turned into the yaw frame), depth offset z - z_d, heading offset yaw - yaw_d wrapped into (-pi, pi].
/// Reads entries 0, 1, 2 and 5 of pose and of desiredPose (which needs 6 entries).
inline Eigen::Vector4d computeErrorPosition(const NavigationPose& pose, const Eigen::VectorXd& desiredPose);

/// A controller output in tenths: the product with 10 is rounded in single precision, halves away from zero.
inline double tenth(double output)
{
  return ::roundf(static_cast<float>(output * 10.0)) / 10.0;
}

/// The negated tenth, by division by -10, so a zero output gives -0.0 as the published x and y commands carry.
inline double negatedTenth(double output)
{
  return ::roundf(static_cast<float>(output * 10.0)) / -10.0;
}

/// Response commanding the four controller outputs: linear x and y negated, linear z and angular z as they
/// are, all in tenths; flags (1, 1, 1, 0, 0, 1), priority 10.
inline quarn_common::BhResponse behaviorResponse(double outX, double outY, double outZ, double outYaw);

/// Whether the pose entries a step reads (x, y, z, yaw) are all finite.
inline bool isUsable(const NavigationPose& pose)
{
  return std::isfinite(pose[0]) && std::isfinite(pose[1]) && std::isfinite(pose[2]) && std::isfinite(pose[5]);
}

/// Whether the correction position a step reads (x, y) is finite.
inline bool isUsable(const quarn_common::VisualServoingData& correction)
{
  return std::isfinite(correction.correction.position.x) && std::isfinite(correction.correction.position.y);
}

/// What one control step did: the measures it was given and, when it stepped, each controller's terms and output
/// and the response they command.
struct StepResult
{
  /// Whether the step produced a response, or why not.
  enum Status
  {
    STEPPED,             ///< the controllers were stepped and the response is to be published
    MEASURE_NOT_FINITE,  ///< a measure was not finite: nothing was stepped
    OUTPUT_NOT_FINITE,   ///< the controllers were stepped but an output was not finite: nothing to publish
  };

  Status status = STEPPED;
  PerAxis measure{};                       ///< measure of each controller (m, m, m, rad)
  PerAxis output{};                        ///< clamped output of each controller; set unless MEASURE_NOT_FINITE
  std::array<pid::CPid::Step, 4> terms{};  ///< each controller's terms; set when STEPPED
  quarn_common::BhResponse response;       ///< the outputs as a response; set when STEPPED
};

/// The node's four controllers stepped as one, in the order x, y, z, yaw: the outputs of the four steps become
/// one response (behaviorResponse). A step with a non-finite measure steps nothing, and one whose outputs are not
/// all finite yields no response: an infinite measure turns a zero gain or a derivative into NaN, and two huge
/// finite errors of opposite sign overflow the derivative, and neither must reach the vehicle.
///
///   pid::CPid x, y, z, yaw;
///   ControlStep step(x, y, z, yaw);
///   step.init(config);                                 // set-point 0 and the configured gains, as at start-up
///   StepResult r = step({ ex, ey, ez, eyaw });         // clock-driven, as in the node
///   StepResult s = step({ ex, ey, ez, eyaw }, 100L);   // a given time step of 100 ms, as in the campaign
///
/// Holds references: the controllers must outlive it.
class ControlStep
{
public:
  /// Steps the given controllers.
  ControlStep(pid::CPid& x, pid::CPid& y, pid::CPid& z, pid::CPid& yaw) : pids_{ &x, &y, &z, &yaw } {}

  /// Steps the four controllers of pids, in the order x, y, z, yaw.
  explicit ControlStep(std::array<pid::CPid, 4>& pids) : ControlStep(pids[0], pids[1], pids[2], pids[3]) {}

  /// Sets each controller to set-point 0 and the first three numbers of its gain vector in config, clearing its
  /// integral, previous error and clock (pid::CPid::init), then its optional bounds and derivative filter.
  void init(const DeviceConfig& config) const
  {
    setUp(config, [](pid::CPid& pid, const Eigen::VectorXd& g) { pid.init(0.0, g[0], g[1], g[2]); });
  }

  /// Gives each controller the gains of config without a bump (pid::CPid::retune): its integral term, previous
  /// error and clock carry on; then its optional bounds and derivative filter.
  void retune(const DeviceConfig& config) const
  {
    setUp(config, [](pid::CPid& pid, const Eigen::VectorXd& g) { pid.retune(g[0], g[1], g[2]); });
  }

  /// One step with each controller's time step read from the wall clock since its previous step or init.
  StepResult operator()(const PerAxis& measure) const
  {
    return step(measure, [](pid::CPid& pid, double m) { return pid.action(m); });
  }

  /// One step with a time step of periodMs whole milliseconds for every controller.
  StepResult operator()(const PerAxis& measure, long periodMs) const
  {
    return step(measure, [periodMs](pid::CPid& pid, double m) { return pid.action(m, periodMs); });
  }

private:
  /// Calls set(controller, its gain vector in config) for each controller; every setting of the controllers
  /// from a configuration goes through here, at start-up and on a reload alike.
  template <typename Set>
  void setUp(const DeviceConfig& config, const Set& set) const;

  template <typename Action>
  StepResult step(const PerAxis& measure, const Action& action) const;

  std::array<pid::CPid*, 4> pids_;
};

// ---------------------------------------------------------------------------------------------------------------

template <typename Set>
void ControlStep::setUp(const DeviceConfig& config, const Set& set) const
{
  const Eigen::VectorXd* gains[] = { &config.pidConfigX, &config.pidConfigY, &config.pidConfigZ, &config.pidConfigYaw };
  for (std::size_t axis = 0; axis < 4; ++axis)
  {
    set(*pids_[axis], *gains[axis]);
    applyAxisOptions(*pids_[axis], config.axes[axis]);
  }
}

template <typename Action>
StepResult ControlStep::step(const PerAxis& measure, const Action& action) const
{
  StepResult result;
  result.measure = measure;
  if (!std::isfinite(measure[0]) || !std::isfinite(measure[1]) || !std::isfinite(measure[2]) ||
      !std::isfinite(measure[3]))
  {
    result.status = StepResult::MEASURE_NOT_FINITE;
    return result;
  }
  PerAxis& out = result.output;
  for (std::size_t axis = 0; axis < 4; ++axis)
  {
    out[axis] = action(*pids_[axis], measure[axis]);
  }
  if (!std::isfinite(out[0]) || !std::isfinite(out[1]) || !std::isfinite(out[2]) || !std::isfinite(out[3]))
  {
    result.status = StepResult::OUTPUT_NOT_FINITE;
    return result;
  }
  result.response = behaviorResponse(out[0], out[1], out[2], out[3]);
  for (std::size_t axis = 0; axis < 4; ++axis)
  {
    result.terms[axis] = pids_[axis]->lastStep();
  }
  return result;
}

inline std::string configShortfall(const DeviceConfig& config)
{
  for (const ConfigItem& item : CONFIG_ITEMS)
  {
    const auto* vector = std::get_if<Eigen::VectorXd DeviceConfig::*>(&item.member);
    const Eigen::Index size = vector ? (config.**vector).size() : 0;
    if (size < item.minSize)
    {
      return std::string(item.name) + " holds " + std::to_string(size) + " numbers, needs at least " +
             std::to_string(item.minSize);
    }
  }
  return std::string();
}

namespace detail
{

// The ways to put a file's text into the parameter.
inline std::string howToFill(const std::string& resolvedName, const std::string& file)
{
  return "it must hold the text of a configuration document; fill it from a file with roslaunch quarn_dev "
         "hover_lock.launch config:=" +
         file + ", with <param name=\"hover_lock_config\" textfile=\"" + file +
         "\"/> in a launch file, or with rosparam set -t " + file + " " + resolvedName;
}

}  // namespace detail

inline std::string missingConfigMessage(const std::string& resolvedName, const std::string& ns, bool isSet)
{
  const std::string what = isSet ? "the parameter " + resolvedName + " is not a string"
                                 : "the parameter hover_lock_config is not set in the namespace " + ns;
  return what + "; " + detail::howToFill(resolvedName, "FILE");
}

inline std::string loadFailureMessage(const std::string& error, const std::string& xmlConfig,
                                      const std::string& resolvedName)
{
  const char* const blank = " \t\r\n";
  const std::size_t first = xmlConfig.find_first_not_of(blank);
  if (first == std::string::npos)
  {
    return error + "; " + resolvedName + " is empty: " + detail::howToFill(resolvedName, "FILE");
  }
  const std::string text = xmlConfig.substr(first, xmlConfig.find_last_not_of(blank) + 1 - first);
  // No markup on a single line: a path or a file name, never a document.
  if (text.find_first_of("<\r\n") == std::string::npos)
  {
    return error + "; " + resolvedName + " holds \"" + text +
           "\", which looks like a file name: " + detail::howToFill(resolvedName, text);
  }
  // Each item is tried alone, so that every unusable one is named, not only the first the load met.
  return error + itemHints(error, xmlConfig, documentItems());
}

inline Eigen::Vector2d worldToVehicle(double x, double y, double yaw, double px, double py)
{
  const double c = std::cos(yaw), s = std::sin(yaw);
  // Rotate by the transposed yaw rotation, then shift by -R^T (x, y); summed in that order, which the node's
  // published commands depend on to the last bit.
  const double shiftAhead = -c * x - s * y;
  const double shiftAcross = s * x - c * y;
  return Eigen::Vector2d(c * px + s * py + shiftAhead, -s * px + c * py + shiftAcross);
}

inline Eigen::Vector4d computeErrorPosition(const NavigationPose& pose, const Eigen::VectorXd& desiredPose)
{
  const Eigen::Vector2d offset = worldToVehicle(pose[0], pose[1], pose[5], desiredPose[0], desiredPose[1]);
  return Eigen::Vector4d(offset[0], offset[1], pose[2] - desiredPose[2],
                         quarn::algebra::normalizeAngle(pose[5] - desiredPose[5]));
}

inline quarn_common::BhResponse behaviorResponse(double outX, double outY, double outZ, double outYaw)
{
  quarn_common::BhResponse response;
  response.twist.linear.x = negatedTenth(outX);
  response.twist.linear.y = negatedTenth(outY);
  response.twist.linear.z = tenth(outZ);
  response.twist.angular.z = tenth(outYaw);
  response.activationLevels = { 1, 1, 1, 0, 0, 1 };
  response.priority = 10;
  return response;
}

}  // namespace dev
}  // namespace quarn

#endif  // QUARN_DEV_HOVER_LOCK_CORE_H
