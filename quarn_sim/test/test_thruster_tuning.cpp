// The tools' road on a vehicle they cannot model exactly: a recording of the thruster-driven vehicle, the
// first-order fit of it, gains tuned on the fit, scored back on the thruster-driven vehicle.

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <quarn_sim/campaign.h>
#include <quarn_sim/identification.h>
#include <quarn_sim/tuning.h>
#include <quarn_sim_test/closed_loop.h>

namespace
{

std::string readFile(const std::string& path)
{
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

quarn::dev::DeviceConfig modeOneExample()
{
  quarn::xml::XmlParamMapper<quarn::dev::DeviceConfig> mapper;
  quarn::dev::mapItems(mapper);
  mapper.loadXmlString(readFile(QUARN_SIM_SOURCE_DIR "/../quarn_dev/config/hover_lock_mode1.xml"));
  return mapper.data();
}

}  // namespace

TEST(ThrusterVehicleTuning, GainsTunedOnTheFirstOrderFitOfItsRecordingSettleItAsOftenAsTheExample)
{
  const quarn::sim::VehicleModelConfig heavy =
      quarn::sim::loadVehicleModel(readFile(QUARN_SIM_SOURCE_DIR "/config/vehicle_heavy_rov.xml"));
  const quarn::sim::Identification id = quarn::sim::identifyModel(quarn_sim_test::closedLoop(heavy, 120, true, 3));
  for (int i = 0; i < 4; ++i)
  {
    EXPECT_GE(id.explained[i], 0.0) << "axis " << i;
    EXPECT_LE(id.explained[i], 1.0) << "axis " << i;
  }
  const quarn::sim::VehicleModelConfig fit = quarn::sim::modelOf(id);
  ASSERT_EQ("", quarn::sim::modelFault(fit));

  const quarn::dev::DeviceConfig example = modeOneExample();
  // A search shorter than the tool's, checked on the standard campaign as the tool checks it.
  quarn::sim::TuneOptions search;
  search.evaluations = 40;
  const quarn::sim::CampaignOptions campaign;
  const quarn::sim::TuneResult searched = quarn::sim::tuneGains(example, fit, search);
  const quarn::sim::Choice chosen = quarn::sim::chooseGains(example, searched.gains, fit, campaign);

  // Scored on the vehicle itself.
  const auto settled = [&](const quarn::dev::DeviceConfig& config) {
    return quarn::sim::summarise(quarn::sim::runCampaign(config, heavy, campaign)).settled;
  };
  EXPECT_GE(settled(quarn::sim::withGains(example, chosen.gains)), settled(example));
}
