// Simulated vehicle for trying hover_lock without hardware: publishes navigation data (and, with a target,
// pixel corrections) at the model's navigation rate and moves as the behaviour responses command.
//
// Private parameters:
//   ~vehicle_model    text of a vehicle model document (quarn_sim/config/vehicle_default.xml); default the ideal
//                     vehicle: follows at once, still water, 20 Hz exact navigation
//   ~vehicle_model_file  the file ~vehicle_model was read from, named when the model is refused; default none
//   ~initial_pose     [x, y, z, yaw] (m, rad), default [0, 0, 0, 0]
//   ~seed             seed of the gusts, the navigation noise and the camera noise, default 1
//   ~target           [x, y, z] world position of a visual target; when set, pixel corrections are published,
//                     by the camera of the model document (camera_rate, camera_latency, camera_noise) or, without
//                     one, exact after every navigation message
//   ~duration         length of the run (s) after which the node shuts down, default 0 (run until stopped)
//   ~trajectory_file  CSV file receiving time, pose and applied set-point of every step, default none
//
// The run starts once a controller is connected both ways: "navigator_data" (and "pixel_correction", with a
// target) has a subscriber and "behavior_response" a publisher. The controller thus sees the whole run, including
// the one correction of type -1 that opens a servoing run. After a restart of the master the node registers its
// topics again.
#include <chrono>
#include <deque>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <ros/package.h>
#include <ros/ros.h>
#include <quarn_common/BhResponse.h>
#include <quarn_common/NavigationData.h>
#include <quarn_common/VisualServoingData.h>
#include <quarn_dev/master_watch.h>

#include <quarn_dev/item_hints.h>
#include <quarn_sim/command.h>
#include <quarn_sim/vehicle_model.h>

using quarn::sim::Pose;
using quarn::sim::VehicleModel;
using quarn::sim::VehicleModelConfig;
using quarn_common::BhResponse;
using quarn_common::NavigationData;
using quarn_common::VisualServoingData;

namespace
{

double steadySeconds()
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Reads an optional private list of exactly `size` numbers into `values`, which keeps its content when the
// parameter is not set; false (and a FATAL line) when it is set to anything else.
bool readList(const ros::NodeHandle& pnh, const std::string& name, size_t size, std::vector<double>& values)
{
  if (!pnh.hasParam(name))
  {
    return true;
  }
  std::vector<double> read;
  if (!pnh.getParam(name, read) || read.size() != size)
  {
    ROS_FATAL("Parameter ~%s must be a list of %zu numbers", name.c_str(), size);
    return false;
  }
  values = read;
  return true;
}

// The items of the default model document, as examples for a refused one; none when it cannot be read.
std::vector<quarn::dev::DocumentItem> defaultModelItems()
{
  std::ifstream in(ros::package::getPath("quarn_sim") + "/config/vehicle_default.xml");
  std::stringstream text;
  text << in.rdbuf();
  return quarn::dev::itemsOf(text.str());
}

// The model document of ~vehicle_model, or the ideal vehicle without it; none (and a FATAL line naming the
// broken item, the file of ~vehicle_model_file and a sound element) when the parameter holds no acceptable
// document.
std::optional<VehicleModelConfig> readVehicleModel(const ros::NodeHandle& pnh)
{
  if (!pnh.hasParam("vehicle_model"))
  {
    return quarn::sim::idealVehicle();
  }
  std::string text;
  if (!pnh.getParam("vehicle_model", text))
  {
    ROS_FATAL("Parameter ~vehicle_model must hold the text of a vehicle model document (textfile= in a launch file)");
    return std::nullopt;
  }
  try
  {
    return quarn::sim::loadVehicleModel(text);
  }
  catch (const std::runtime_error& e)
  {
    const std::string file = pnh.param("vehicle_model_file", std::string());
    const std::string source = file.empty() ? "in ~vehicle_model" : file + " (in ~vehicle_model)";
    ROS_FATAL("Vehicle model %s refused: %s%s", source.c_str(), e.what(),
              quarn::dev::itemHints(e.what(), text, defaultModelItems()).c_str());
    return std::nullopt;
  }
}

class Simulator
{
public:
  Simulator(ros::NodeHandle& nh, const VehicleModel& model, std::optional<std::array<double, 3>> target,
            double duration, const std::string& trajectoryFile, unsigned seed)
    : nh_(nh),
      model_(model),
      target_(target),
      duration_(duration),
      cameraNoise_(model.model().camera.value_or(quarn::sim::CameraConfig{}), seed)
  {
    navigationPub_ = nh.advertise<NavigationData>("navigator_data", 1);
    if (target_)
    {
      correctionPub_ = nh.advertise<VisualServoingData>("pixel_correction", 1);
    }
    responseSub_ = nh.subscribe("behavior_response", 1, &Simulator::onResponse, this);
    if (!trajectoryFile.empty())
    {
      trajectory_.open(trajectoryFile);
      trajectory_ << "t,x,y,z,yaw,cmd_x,cmd_y,cmd_z,cmd_yaw\n";
    }
  }

  bool trajectoryOk() const { return !trajectory_.is_open() || trajectory_.good(); }

  void tick()
  {
    const double now = steadySeconds();
    if (!started_)
    {
      if (!controllerConnected())
      {
        return;
      }
      started_ = true;
      start_ = now;
      rosStart_ = ros::Time::now();
      ROS_INFO("Run started");
    }
    const double t = now - start_;
    model_.advance(t);
    publishNavigation(t);
    if (target_ && !model_.model().camera)
    {
      correctionPub_.publish(nextCorrection());
    }
    record(t);
    if (duration_ > 0 && t >= duration_)
    {
      ROS_INFO("Run finished after %.1f s", t);
      ros::shutdown();
    }
  }

  // One frame of the model's camera: the correction of the target seen now, published camera_latency later.
  void see()
  {
    if (!started_)
    {
      return;
    }
    model_.advance(steadySeconds() - start_);
    const quarn::sim::CameraConfig& camera = *model_.model().camera;
    VisualServoingData msg = nextCorrection();
    if (msg.type != -1)
    {
      msg.correction.position.x += cameraNoise_();
      msg.correction.position.y += cameraNoise_();
    }
    if (camera.latency <= 0)
    {
      correctionPub_.publish(msg);
      return;
    }
    // Every frame waits as long, so the oldest timer has always fired by the time there are this many.
    while (deliveries_.size() > camera.latency * camera.rate + 2)
    {
      deliveries_.pop_front();
    }
    deliveries_.push_back(nh_.createWallTimer(
        ros::WallDuration(camera.latency), [this, msg](const ros::WallTimerEvent&) { correctionPub_.publish(msg); },
        true));
  }

private:
  bool controllerConnected() const
  {
    return navigationPub_.getNumSubscribers() > 0 && responseSub_.getNumPublishers() > 0 &&
           (!target_ || correctionPub_.getNumSubscribers() > 0);
  }

  // Model time runs from the start of the run; nothing is commanded before it.
  void onResponse(const BhResponse& response)
  {
    if (started_)
    {
      model_.command(quarn::sim::toCommand(response), steadySeconds() - start_);
    }
  }

  void publishNavigation(double t)
  {
    const quarn::sim::NavigationSample sample = model_.navigationAt(t);
    NavigationData msg;
    msg.header.stamp = rosStart_ + ros::Duration(sample.stamp);
    msg.pose[0] = sample.pose.x;
    msg.pose[1] = sample.pose.y;
    msg.pose[2] = sample.pose.z;
    msg.pose[5] = sample.pose.yaw;
    msg.velocity[0] = sample.velocity.x;
    msg.velocity[1] = sample.velocity.y;
    msg.velocity[2] = sample.velocity.z;
    msg.velocity[5] = sample.velocity.yaw;
    navigationPub_.publish(msg);
  }

  // The first message of a run arms the capture of depth and heading references; later ones carry the offset.
  VisualServoingData nextCorrection()
  {
    VisualServoingData msg;
    msg.correction.orientation.w = 1.0;
    if (!servoing_)
    {
      msg.type = -1;
      servoing_ = true;
    }
    else
    {
      const auto& t = *target_;
      const auto offset = quarn::sim::offsetInVehicleFrame(model_.pose(), t[0], t[1], t[2]);
      msg.correction.position.x = offset.x;
      msg.correction.position.y = offset.y;
      msg.correction.position.z = offset.z;
    }
    return msg;
  }

  void record(double t)
  {
    if (!trajectory_.is_open())
    {
      return;
    }
    const Pose& p = model_.pose();
    const auto& v = model_.inForce();
    trajectory_ << t << ',' << p.x << ',' << p.y << ',' << p.z << ',' << p.yaw << ',' << v.x << ',' << v.y << ',' << v.z
                << ',' << v.yaw << std::endl;
  }

  ros::NodeHandle nh_;
  VehicleModel model_;
  std::optional<std::array<double, 3>> target_;
  double duration_;
  std::ofstream trajectory_;
  ros::Publisher navigationPub_, correctionPub_;
  ros::Subscriber responseSub_;
  bool started_ = false, servoing_ = false;
  double start_ = 0;
  ros::Time rosStart_;
  quarn::sim::CameraNoise cameraNoise_;
  std::deque<ros::WallTimer> deliveries_;
};

}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "vehicle_sim");
  ros::NodeHandle nh, pnh("~");

  const std::optional<VehicleModelConfig> vehicle = readVehicleModel(pnh);
  if (!vehicle)
  {
    return 1;
  }
  for (const char* replaced : { "rate", "current", "velocity_noise" })
  {
    if (pnh.hasParam(replaced))
    {
      ROS_WARN("Parameter ~%s is ignored: ~vehicle_model sets it", replaced);
    }
  }
  std::vector<double> initial{ 0, 0, 0, 0 }, target;
  if (!readList(pnh, "initial_pose", 4, initial) || !readList(pnh, "target", 3, target))
  {
    return 1;
  }
  const auto seed = static_cast<unsigned>(pnh.param("seed", 1));
  const VehicleModel model(*vehicle, { initial[0], initial[1], initial[2], initial[3] }, seed);
  std::optional<std::array<double, 3>> targetPosition;
  if (!target.empty())
  {
    targetPosition = std::array<double, 3>{ target[0], target[1], target[2] };
  }
  const std::string trajectoryFile = pnh.param("trajectory_file", std::string());

  Simulator sim(nh, model, targetPosition, pnh.param("duration", 0.0), trajectoryFile, seed);
  if (!sim.trajectoryOk())
  {
    ROS_FATAL("Cannot write %s", trajectoryFile.c_str());
    return 1;
  }
  const ros::WallTimer timer =
      nh.createWallTimer(ros::WallDuration(1.0 / vehicle->navRate), [&sim](const ros::WallTimerEvent&) { sim.tick(); });
  ros::WallTimer camera;
  if (targetPosition && vehicle->camera)
  {
    camera = nh.createWallTimer(ros::WallDuration(1.0 / vehicle->camera->rate),
                                [&sim](const ros::WallTimerEvent&) { sim.see(); });
  }
  const quarn::dev::MasterWatch masterWatch;
  ros::spin();
  return 0;
}
