#include <fstream>
#include <sstream>

#include "subcommands.h"

namespace quarn::sim
{

std::string readTextFile(const std::string& path)
{
  std::ifstream in(path);
  std::stringstream text;
  if (!(in && text << in.rdbuf()))
  {
    throw InputError("cannot read " + path);
  }
  return text.str();
}

quarn::sim::VehicleModelConfig readModelFile(const std::string& path)
{
  try
  {
    return quarn::sim::loadVehicleModel(readTextFile(path));
  }
  catch (const InputError&)
  {
    throw;
  }
  catch (const std::runtime_error& e)
  {
    throw InputError("vehicle model " + path + " refused: " + e.what());
  }
}

quarn::dev::DeviceConfig readConfigFile(const std::string& path)
{
  const std::string text = readTextFile(path);
  quarn::xml::XmlParamMapper<quarn::dev::DeviceConfig> mapper;
  quarn::dev::mapItems(mapper);
  try
  {
    mapper.loadXmlString(text);
  }
  catch (const std::runtime_error& e)
  {
    throw InputError("configuration " + path + " refused: " + e.what());
  }
  const std::string shortfall = quarn::dev::configShortfall(mapper.data());
  if (!shortfall.empty())
  {
    throw InputError("configuration " + path + " refused: " + shortfall);
  }
  const std::string refused = quarn::dev::readAxisOptions(text, mapper.data().axes);
  if (!refused.empty())
  {
    throw InputError("configuration " + path + " refused: " + refused);
  }
  return mapper.data();
}

}  // namespace quarn::sim
