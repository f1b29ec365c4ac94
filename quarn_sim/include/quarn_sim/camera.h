#pragma once

// The simulated camera of a vehicle model document: optional items that say how often the vision side sees a
// visual target, how late and how noisily. Without them the camera is exact and sees the target at every
// navigation message, as vehicle_sim always did.
//
//   <camera_rate type="real" value="10"/>      <!-- Hz: corrections per second -->
//   <camera_latency type="real" value="0.15"/> <!-- s: a correction shows the target as seen this long ago -->
//   <camera_noise type="real" value="0.03"/>   <!-- m: white noise sigma on the correction's x and y -->

#include <array>
#include <cmath>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

#include <quarn_dev/axis_options.h>
#include <quarn_xml/XmlParamDoc.h>

namespace quarn::sim
{

/// A camera that sees a visual target: the offset of the target from the vehicle, sampled at `rate`, delivered
/// `latency` later, with white noise of sigma `noise` on x and y.
struct CameraConfig
{
  double rate = 10;    ///< "camera_rate" in (0, 1000] (Hz): corrections per second
  double latency = 0;  ///< "camera_latency" >= 0 (s): a correction shows the target as seen this long before
  double noise = 0;    ///< "camera_noise" >= 0 (m): white noise sigma on the correction's x and y
};

/// The white noise a camera adds to each coordinate of a correction (m): sigma `CameraConfig::noise`, the draws a
/// function of the run's seed alone, so that the campaign and vehicle_sim see the same noise for a seed.
class CameraNoise
{
public:
  CameraNoise(const CameraConfig& camera, unsigned seed) : sigma_(camera.noise), random_(seed ^ 0x85ebca6bu) {}

  /// The next draw (m); 0 for an exact camera.
  double operator()() { return sigma_ > 0 ? sigma_ * normal_(random_) : 0.0; }

private:
  double sigma_;
  std::mt19937 random_;
  std::normal_distribution<double> normal_;  // one: a distribution caches draws
};

/// The camera items of the model document text xmlText: none when none of them is there; throws
/// std::runtime_error naming the item when only some are there, or one is not a real or breaks its rule.
inline std::optional<CameraConfig> readCamera(const std::string& xmlText)
{
  quarn::xml::XmlParamDoc doc;
  doc.loadXmlString(xmlText);
  const std::string root = doc.getRootTagName() + "/";
  const std::array<const char*, 3> names = { "camera_rate", "camera_latency", "camera_noise" };
  int present = 0;
  for (const char* name : names)
  {
    present += quarn::dev::hasElement(doc, root + name) ? 1 : 0;
  }
  if (present == 0)
  {
    return std::nullopt;
  }
  for (const char* name : names)
  {
    if (!quarn::dev::hasElement(doc, root + name))
    {
      throw std::runtime_error(std::string(name) +
                               " is missing: a simulated camera needs camera_rate, camera_latency and camera_noise");
    }
  }
  CameraConfig camera;
  camera.rate = doc.getReal(root + names[0]);
  camera.latency = doc.getReal(root + names[1]);
  camera.noise = doc.getReal(root + names[2]);
  const struct
  {
    const char* item;
    double value;
    bool kept;
    const char* rule;
  } rules[] = {
    { names[0], camera.rate, camera.rate > 0 && camera.rate <= 1000, "be > 0 and <= 1000 (Hz)" },
    { names[1], camera.latency, camera.latency >= 0, "be finite and >= 0 (s)" },
    { names[2], camera.noise, camera.noise >= 0, "be finite and >= 0 (m)" },
  };
  for (const auto& r : rules)
  {
    if (!r.kept || !std::isfinite(r.value))
    {
      std::ostringstream got;
      got << r.value;
      throw std::runtime_error(std::string(r.item) + " must " + r.rule + ", got " + got.str());
    }
  }
  return camera;
}

}  // namespace quarn::sim
