// Any bytes go to XmlParamMapper::loadXmlString with the six items of the hover_lock configuration,
// twice on the same mapper (the second load keeps the first root name). Only std::runtime_error may
// leave the mapper, every vector it stores is finite, and a record that loaded is written as a document
// that loads back to the same record.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <Eigen/Dense>

#include <quarn_xml/XmlParamMapper.h>

using Eigen::VectorXd;
using quarn::xml::XmlParamMapper;

namespace
{
struct Config
{
  VectorXd pidConfigX;
  VectorXd pidConfigY;
  VectorXd pidConfigZ;
  VectorXd pidConfigYaw;
  VectorXd desiredPose;
  int mode;

  bool operator==(const Config& o) const
  {
    return pidConfigX == o.pidConfigX && pidConfigY == o.pidConfigY && pidConfigZ == o.pidConfigZ &&
           pidConfigYaw == o.pidConfigYaw && desiredPose == o.desiredPose && mode == o.mode;
  }
};

void check(bool condition)
{
  if (!condition)
    __builtin_trap();
}

void mapItems(XmlParamMapper<Config>& mapper)
{
  mapper.mapItem("pid_config_x", &Config::pidConfigX);
  mapper.mapItem("pid_config_y", &Config::pidConfigY);
  mapper.mapItem("pid_config_z", &Config::pidConfigZ);
  mapper.mapItem("pid_config_yaw", &Config::pidConfigYaw);
  mapper.mapItem("desired_pose", &Config::desiredPose);
  mapper.mapItem("mode", &Config::mode);
}

bool allFinite(const Config& config)
{
  for (const VectorXd* v :
       { &config.pidConfigX, &config.pidConfigY, &config.pidConfigZ, &config.pidConfigYaw, &config.desiredPose })
    if (!v->array().isFinite().all())
      return false;
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);
  XmlParamMapper<Config> mapper;
  mapItems(mapper);
  for (int load = 0; load < 2; ++load)
  {
    try
    {
      mapper.loadXmlString(text);
    }
    catch (const std::runtime_error&)
    {
      check(allFinite(mapper.data()));
      continue;
    }
    check(allFinite(mapper.data()));
    XmlParamMapper<Config> copy;
    mapItems(copy);
    copy.loadXmlString(mapper.getXmlString());
    check(copy.data() == mapper.data());
  }
  return 0;
}
