// hover_lock: holds an underwater vehicle at a pose. Mode 1 steers to a configured pose from every navigation
// message; mode 0 follows the pixel corrections of a vision component while holding depth and heading.
// Configuration: the XML text in the parameter "hover_lock_config", read at start-up and again on each call of
// "~reload" (std_srvs/Trigger), which applies a usable configuration between two steps without a bump.
// Seen from outside: each step's controller state on "~state" when "~publish_state" is true, and the health of
// the controllers on "/diagnostics". After a restart of the master the node registers its topics again.

#include <array>
#include <cmath>
#include <exception>
#include <optional>
#include <string>

#include <Eigen/Core>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <diagnostic_updater/diagnostic_updater.h>
#include <ros/ros.h>
#include <std_srvs/Trigger.h>

#include <quarn_common/BhResponse.h>
#include <quarn_common/ControllerState.h>
#include <quarn_common/NavigationData.h>
#include <quarn_common/VisualServoingData.h>
#include <quarn_dev/config_change.h>
#include <quarn_dev/controller_state.h>
#include <quarn_dev/hover_lock_core.h>
#include <quarn_dev/master_watch.h>
#include <quarn_pid.h>
#include <quarn_xml/XmlParamMapper.h>

using quarn::dev::DeviceConfig;
using quarn_common::BhResponse;
using quarn_common::NavigationData;
using quarn_common::VisualServoingData;

// Shared by the two callbacks, which ros::spin() runs one at a time on the main thread.
pid::CPid pidX;
pid::CPid pidY;
pid::CPid pidZ;
pid::CPid pidYaw;
// The four controllers above stepped as one.
const quarn::dev::ControlStep controlStep(pidX, pidY, pidZ, pidYaw);
bool firstTime = false;
// Sized for the four error elements up front, so a control step never reallocates it.
Eigen::VectorXd error = Eigen::VectorXd::Zero(4);
quarn::xml::XmlParamMapper<DeviceConfig> xmlParamMapper;
ros::Publisher pub;
NavigationData navigation;
float profunditat = 0.0f;
float orientacio = 0.0f;
bool publishState = false;
ros::Publisher statePub;
// "/diagnostics" is updated from the callbacks, at most once a second, so a node without input reports nothing
// and goes stale.
std::optional<diagnostic_updater::Updater> diagnostics;
quarn::dev::ControllerHealth health;
// When the configuration in use was loaded (UTC), and how many reloads were refused since start-up.
std::string loadedAt;
unsigned refusedReloads = 0;
ros::ServiceServer reloadService;

// Seconds between two warnings about unusable messages from one callback.
const double WARN_PERIOD = 5.0;

// Steps the four controllers in their fixed order (each reads the clock) and publishes the response.
void stepAndPublish(double measureX, double measureY, double measureZ, double measureYaw)
{
  const quarn::dev::StepResult step = controlStep({ measureX, measureY, measureZ, measureYaw });
  if (step.status == quarn::dev::StepResult::MEASURE_NOT_FINITE)
  {
    ROS_WARN_THROTTLE(WARN_PERIOD, "Skipping control step: the error to correct is not finite");
    health.countSkipped();
    return;
  }
  if (step.status == quarn::dev::StepResult::OUTPUT_NOT_FINITE)
  {
    ROS_WARN_THROTTLE(WARN_PERIOD, "Skipping control step: a controller output is not finite");
    health.countSkipped();
    return;
  }
  pub.publish(step.response);
  const std::array<pid::CPid::Step, 4>& terms = step.terms;
  health.countStep(terms[0].clamped || terms[1].clamped || terms[2].clamped || terms[3].clamped);
  if (publishState)
  {
    statePub.publish(quarn::dev::controllerState(ros::Time::now(), xmlParamMapper.data().mode, step.measure, terms,
                                                 step.output, step.response));
  }
}

void navigationCallBack(const NavigationData& navigationData)
{
  health.countNavigation();
  if (!quarn::dev::isUsable(navigationData.pose))
  {
    // A NaN measure would stick in the controllers' integrals for good.
    ROS_WARN_THROTTLE(WARN_PERIOD, "Ignoring navigation data: x, y, z or yaw is not finite");
    health.countDropped();
  }
  else
  {
    navigation = navigationData;
    if (xmlParamMapper.data().mode == 1)
    {
      error = quarn::dev::computeErrorPosition(navigation.pose, xmlParamMapper.data().desiredPose);
      stepAndPublish(error[0], error[1], error[2], error[3]);
    }
  }
  // Logged after publishing, to keep console work off the response path.
  ROS_INFO("Received navigation data");
  diagnostics->update();
}

// The control step of a pixel correction, in mode 0 only.
void correct(const VisualServoingData& desviation)
{
  if (xmlParamMapper.data().mode != 0)
  {
    return;
  }
  if (desviation.type == -1)
  {
    firstTime = true;
    return;
  }
  if (!quarn::dev::isUsable(desviation))
  {
    ROS_WARN_THROTTLE(WARN_PERIOD, "Ignoring pixel correction: position x or y is not finite");
    health.countDropped();
    return;
  }
  if (firstTime)
  {
    // A depth or heading beyond single precision would become an infinite reference and stop every later step
    // until the next capture, so the capture waits, still armed, for navigation data it can hold.
    const float depth = static_cast<float>(navigation.pose[2]);
    const float heading = static_cast<float>(navigation.pose[5]);
    if (!std::isfinite(depth) || !std::isfinite(heading))
    {
      ROS_WARN_THROTTLE(WARN_PERIOD, "Not capturing references: depth or heading is beyond single precision");
      health.countSkipped();
      return;
    }
    firstTime = false;
    profunditat = depth;
    orientacio = heading;
  }
  // The heading difference is deliberately not wrapped.
  stepAndPublish(desviation.correction.position.x, desviation.correction.position.y, profunditat - navigation.pose[2],
                 orientacio - navigation.pose[5]);
}

void handleKeepRelativePosition(VisualServoingData desviation)
{
  health.countCorrection();
  correct(desviation);
  diagnostics->update();
}

const char* const CONFIG_PARAM = "hover_lock_config";

// The configuration text, logged; nothing when the parameter is not set or holds no string.
std::optional<std::string> readConfigText()
{
  std::string xmlConfig;
  if (!ros::param::get(CONFIG_PARAM, xmlConfig))
  {
    ROS_INFO("Couldn't get 'hover_lock_config' param.");
    return std::nullopt;
  }
  ROS_INFO("config file = %s", xmlConfig.c_str());
  return xmlConfig;
}

// Registers the six items on mapper and loads the text into it; empty when the configuration can be used, else
// why not and what to change.
std::string loadConfig(const std::optional<std::string>& xmlConfig, quarn::xml::XmlParamMapper<DeviceConfig>& mapper)
{
  const std::string resolvedName = ros::names::resolve(CONFIG_PARAM);
  if (!xmlConfig)
  {
    return "Cannot load the configuration: " + quarn::dev::missingConfigMessage(resolvedName,
                                                                                ros::this_node::getNamespace(),
                                                                                ros::param::has(CONFIG_PARAM));
  }
  try
  {
    quarn::dev::mapItems(mapper);
    mapper.loadXmlString(*xmlConfig);
  }
  catch (const std::exception& e)
  {
    return "Cannot load the configuration: " + quarn::dev::loadFailureMessage(e.what(), *xmlConfig, resolvedName);
  }
  const std::string shortfall = quarn::dev::configShortfall(mapper.data());
  if (!shortfall.empty())
  {
    return "Cannot use the configuration: " + shortfall;
  }
  const std::string refused = quarn::dev::readAxisOptions(*xmlConfig, mapper.data().axes);
  if (!refused.empty())
  {
    return "Cannot use the configuration: " + refused;
  }
  return std::string();
}

// Takes note of a configuration put in use.
void configLoaded()
{
  const int mode = xmlParamMapper.data().mode;
  if (mode != 0 && mode != 1)
  {
    ROS_WARN("Mode %d is neither 0 nor 1: nothing will be published", mode);
  }
  loadedAt = boost::posix_time::to_simple_string(ros::WallTime::now().toBoost()) + " UTC";
}

void initPid()
{
  controlStep.init(xmlParamMapper.data());
}

// Puts config in use from the next step. A new mode starts as at start-up, from freshly initialised controllers;
// mode 0 then captures its references at its first correction rather than hold depth 0 and heading 0.
// Otherwise the controllers keep their state and take the new gains without a bump, and a new desired pose is
// the target of the next step.
void applyConfig(const DeviceConfig& config)
{
  const bool newMode = config.mode != xmlParamMapper.data().mode;
  xmlParamMapper.data() = config;
  if (newMode)
  {
    initPid();
    firstTime = true;
  }
  else
  {
    controlStep.retune(config);
  }
  configLoaded();
}

// ~reload: reads "hover_lock_config" as start-up does and applies it, or keeps the configuration in use when the
// new one cannot be used. The answer lists the items that changed, or says why the configuration was refused.
bool reload(std_srvs::Trigger::Request&, std_srvs::Trigger::Response& answer)
{
  quarn::xml::XmlParamMapper<DeviceConfig> candidate;
  const std::string refusal = loadConfig(readConfigText(), candidate);
  answer.success = refusal.empty();
  if (!answer.success)
  {
    ROS_ERROR("Reload refused, the configuration in use stays: %s", refusal.c_str());
    ++refusedReloads;
    answer.message = refusal;
    return true;
  }
  answer.message = quarn::dev::configChanges(xmlParamMapper.data(), candidate.data());
  applyConfig(candidate.data());
  return true;
}

// Reads "~publish_state", advertises "~state" if it is set, and starts the diagnostics of the controllers.
void advertiseObservers()
{
  ros::NodeHandle privateNh("~");
  privateNh.param("publish_state", publishState, false);
  if (publishState)
  {
    statePub = privateNh.advertise<quarn_common::ControllerState>("state", 10);
  }
  diagnostics.emplace();
  diagnostics->setHardwareID(ros::this_node::getName());
  diagnostics->add("hover_lock controllers", [](diagnostic_updater::DiagnosticStatusWrapper& status) {
    health.report(status, xmlParamMapper.data().mode, ros::WallTime::now().toSec());
    status.add("Configuration loaded", loadedAt);
    status.add("Refused reloads", refusedReloads);
  });
  health.start(ros::WallTime::now().toSec());
}

int main(int argc, char** argv)
{
  ros::init(argc, argv, "hover_lock");
  ros::NodeHandle nh;
  pub = nh.advertise<BhResponse>("behavior_response", 1);
  ros::Subscriber subMovement = nh.subscribe("pixel_correction", 1, handleKeepRelativePosition);
  ros::Subscriber navigationSub = nh.subscribe("navigator_data", 1, navigationCallBack);

  const std::string refusal = loadConfig(readConfigText(), xmlParamMapper);
  const bool configured = refusal.empty();
  if (configured)
  {
    initPid();
    configLoaded();
    advertiseObservers();
    reloadService = ros::NodeHandle("~").advertiseService("reload", reload);
    // A restarted master learns of the node again; the configuration read above stays.
    const quarn::dev::MasterWatch masterWatch({ reloadService.getService() });
    ros::spin();
  }
  else
  {
    ROS_FATAL("%s", refusal.c_str());
  }
  // The global publisher outlives main: unadvertise it while roscpp is still up.
  pub.shutdown();
  // The same for the state publisher, the service and the diagnostics.
  statePub.shutdown();
  reloadService.shutdown();
  diagnostics.reset();
  return configured ? 0 : 1;
}
