// Tuning the gains on a vehicle model: the search improves a poor configuration and is reproducible.

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include <quarn_sim/campaign.h>
#include <quarn_sim/tuning.h>

using quarn::sim::Gains;
using quarn::sim::TuneOptions;

namespace
{

quarn::sim::VehicleModelConfig defaultVehicle()
{
  std::ifstream file(QUARN_SIM_SOURCE_DIR "/config/vehicle_default.xml");
  std::stringstream text;
  text << file.rdbuf();
  return quarn::sim::loadVehicleModel(text.str());
}

// The default vehicle made slower: tuning is not for one vehicle only.
quarn::sim::VehicleModelConfig vehicle()
{
  return quarn::sim::scaledModel(defaultVehicle(), 1.5);
}

// Sluggish proportional gains and no integral: the current holds the vehicle off the target.
quarn::dev::DeviceConfig poorConfig()
{
  quarn::dev::DeviceConfig c;
  c.mode = 1;
  c.desiredPose = Eigen::VectorXd::Zero(6);
  c.desiredPose[2] = 2;
  c.pidConfigX = c.pidConfigY = Eigen::Vector3d(0.3, 0, 0);
  c.pidConfigZ = c.pidConfigYaw = Eigen::Vector3d(0.3, 0, 0);
  return c;
}

// Gains on the default vehicle that settle 15, 16 and 15 of the 16 runs of smallCampaign() on the model and its
// faster and slower variants.
quarn::dev::DeviceConfig robustConfig()
{
  quarn::dev::DeviceConfig c = poorConfig();
  c.pidConfigX = c.pidConfigY = Eigen::Vector3d(3, 0.3, 0.3);
  c.pidConfigZ = Eigen::Vector3d(2, 0.1, 0);
  c.pidConfigYaw = Eigen::Vector3d(2, 0, 0);
  return c;
}

quarn::sim::CampaignOptions smallCampaign()
{
  quarn::sim::CampaignOptions campaign;
  campaign.runs = 16;
  campaign.duration = 40;
  return campaign;
}

TuneOptions smallSearch()
{
  TuneOptions o;
  o.scenarios = 4;
  o.duration = 30;
  o.evaluations = 40;
  return o;
}

}  // namespace

TEST(Tuning, TheSearchImprovesAPoorConfigurationOnASmallCampaign)
{
  const quarn::dev::DeviceConfig poor = poorConfig();
  int progressCalls = 0;
  TuneOptions options = smallSearch();
  options.progress = [&](int evaluation, double) { progressCalls = evaluation; };
  const quarn::sim::TuneResult result = quarn::sim::tuneGains(poor, vehicle(), options);
  EXPECT_LT(result.cost, 0.7 * result.baseCost);
  EXPECT_EQ(result.evaluations, progressCalls);
  EXPECT_LE(result.evaluations, options.evaluations);

  // Scored on a campaign the search never saw: other seeds and other scenarios.
  quarn::sim::CampaignOptions campaign;
  campaign.runs = 32;
  campaign.duration = 40;
  campaign.seed = 1000;
  const quarn::dev::DeviceConfig tuned = quarn::sim::withGains(poor, result.gains);
  const auto base = quarn::sim::summarise(quarn::sim::runCampaign(poor, vehicle(), campaign));
  const auto better = quarn::sim::summarise(quarn::sim::runCampaign(tuned, vehicle(), campaign));
  EXPECT_GT(better.settled, base.settled);
  for (int i = 0; i < 4; ++i)
  {
    EXPECT_LT(better.rmsMedian[i], base.rmsMedian[i]) << "axis " << i;
  }
  // The tuned configuration keeps what the search does not touch.
  EXPECT_EQ(1, tuned.mode);
  EXPECT_EQ(poor.desiredPose, tuned.desiredPose);
}

TEST(Tuning, TheCostDependsOnTheSeedAloneNotOnTheThreads)
{
  TuneOptions one = smallSearch(), two = smallSearch();
  one.threads = 1;
  two.threads = 2;
  EXPECT_EQ(quarn::sim::searchCost(poorConfig(), vehicle(), one), quarn::sim::searchCost(poorConfig(), vehicle(), two));
  two.seed = 2;
  EXPECT_NE(quarn::sim::searchCost(poorConfig(), vehicle(), one), quarn::sim::searchCost(poorConfig(), vehicle(), two));
}

TEST(Tuning, GainsAndFiltersRoundTripThroughTheConfigurationAndTheSearchBounds)
{
  quarn::dev::DeviceConfig config = poorConfig();
  config.pidConfigYaw = Eigen::Vector4d(-0.8, -0.05, -0.1, 7);  // a fourth entry the node ignores
  config.axes[1].derivativeFilter = 0.25;
  const Gains gains = quarn::sim::gainsOf(config);
  EXPECT_EQ(-0.05, gains[10]);
  EXPECT_EQ(0.25, gains[quarn::sim::FILTERS + 1]);
  const quarn::dev::DeviceConfig back = quarn::sim::withGains(config, gains);
  EXPECT_EQ(config.pidConfigYaw, back.pidConfigYaw);
  EXPECT_EQ(0.25, back.axes[1].derivativeFilter);
  // The search starts from gains clipped into its bounds, whatever the base holds.
  const std::vector<double> unit = quarn::sim::tuning::toUnit(gains);
  for (double x : unit)
  {
    EXPECT_GE(x, 0.0);
    EXPECT_LE(x, 1.0);
  }
  EXPECT_NEAR(0.25, quarn::sim::tuning::fromUnit(unit)[quarn::sim::FILTERS + 1], 1e-12);
  EXPECT_EQ(quarn::sim::KP_MIN, quarn::sim::tuning::fromUnit(unit)[9]);
}

TEST(Tuning, ModeZeroTunesXAndYAloneAndKeepsItsDepthAndHeadingSigns)
{
  quarn::dev::DeviceConfig base = poorConfig();
  base.mode = 0;
  base.pidConfigZ = Eigen::Vector3d(-2, -0.1, 0);
  base.pidConfigYaw = Eigen::Vector3d(-2, 0, 0);
  TuneOptions options = smallSearch();
  options.evaluations = 20;
  const quarn::sim::TuneResult result = quarn::sim::tuneGains(base, defaultVehicle(), options);
  const Gains before = quarn::sim::gainsOf(base);
  for (std::size_t k : { 6, 7, 8, 9, 10, 11, 14, 15 })
  {
    EXPECT_EQ(before[k], result.gains[k]) << "entry " << k;
  }
  EXPECT_NE(before[0], result.gains[0]);
  EXPECT_LT(result.cost, result.baseCost);
  const quarn::sim::Choice choice =
      quarn::sim::chooseGains(base, result.gains, defaultVehicle(), smallCampaign(), options.maxReversals);
  EXPECT_EQ(-2, choice.gains[9]) << "blends leave the unsearched gains alone";
}

TEST(Tuning, TheWrittenGainsSettleAsOftenAsTheBaseOnTheModelAndBothVariants)
{
  const quarn::dev::DeviceConfig base = robustConfig();
  const quarn::sim::VehicleModelConfig model = defaultVehicle();
  const quarn::sim::CampaignOptions campaign = smallCampaign();
  const auto settledRuns = [&](const Gains& gains, double scale) {
    const auto runs =
        quarn::sim::runCampaign(quarn::sim::withGains(base, gains), quarn::sim::scaledModel(model, scale), campaign);
    return quarn::sim::summarise(runs).settled;
  };

  // A sharper heading gain settles every run on the model but swings on the slower variant.
  Gains sharper = quarn::sim::gainsOf(base);
  sharper[9] = 3.6;
  const quarn::sim::Choice backedOff = quarn::sim::chooseGains(base, sharper, model, campaign);
  ASSERT_FALSE(backedOff.checks.empty());
  EXPECT_FALSE(backedOff.checks.front().passed);
  EXPECT_FALSE(backedOff.kept);
  EXPECT_GT(backedOff.gains[9], 2.0);
  EXPECT_LT(backedOff.gains[9], 3.6);
  for (double scale : quarn::sim::MODEL_SCALES)
  {
    EXPECT_GE(settledRuns(backedOff.gains, scale), settledRuns(quarn::sim::gainsOf(base), scale)) << "lags x" << scale;
  }

  // The largest gains of the search, worse at every back-off: the base's own are written.
  const Gains wild = quarn::sim::tuning::fromUnit(std::vector<double>(std::tuple_size_v<Gains>, 1.0));
  const quarn::sim::Choice kept = quarn::sim::chooseGains(base, wild, model, campaign);
  EXPECT_TRUE(kept.kept);
  EXPECT_EQ(quarn::sim::BACK_OFF_SHARES.size(), kept.checks.size());
  EXPECT_EQ(quarn::sim::gainsOf(base), kept.gains);

  // Gains that settle at least as often everywhere are written as searched.
  const quarn::sim::Choice taken = quarn::sim::chooseGains(poorConfig(), quarn::sim::gainsOf(base), model, campaign);
  EXPECT_FALSE(taken.kept);
  ASSERT_EQ(1u, taken.checks.size());
  for (int k = 0; k < 12; ++k)
  {
    EXPECT_NEAR(quarn::sim::gainsOf(base)[k], taken.gains[k], 1e-9) << "gain " << k;
  }
}

TEST(Tuning, TheReversalLimitHoldsWhereTheUnconstrainedSearchBreaksIt)
{
  // The robust configuration's derivative passes on the navigation noise; the gains that hold the vehicle best
  // do so the more.
  constexpr double LIMIT = 2.0;
  const quarn::dev::DeviceConfig base = robustConfig();
  const quarn::sim::VehicleModelConfig model = defaultVehicle();
  TuneOptions unconstrained = smallSearch(), limited = smallSearch();
  unconstrained.evaluations = limited.evaluations = 80;
  unconstrained.maxReversals = 1e9;
  limited.maxReversals = LIMIT;
  const auto reversalsOf = [&](const TuneOptions& options) {
    const quarn::sim::TuneResult result = quarn::sim::tuneGains(base, model, options);
    EXPECT_TRUE(result.unmet.empty());
    return quarn::sim::searchScores(quarn::sim::withGains(base, result.gains), model, options).reversals;
  };
  const double baseReversals = quarn::sim::searchScores(base, model, limited).reversals;
  EXPECT_GT(reversalsOf(unconstrained), baseReversals);
  EXPECT_GT(baseReversals, LIMIT);
  EXPECT_LE(reversalsOf(limited), LIMIT);
}

TEST(Tuning, NoGainsAreChosenWhenNoneMeetTheReversalLimit)
{
  const quarn::dev::DeviceConfig base = robustConfig();
  const quarn::sim::Choice choice =
      quarn::sim::chooseGains(base, quarn::sim::gainsOf(poorConfig()), defaultVehicle(), smallCampaign(), 0.01);
  EXPECT_TRUE(choice.kept);
  EXPECT_NE(std::string::npos, choice.shortfall.find("reversals per second")) << choice.shortfall;
  for (const quarn::sim::Check& check : choice.checks)
  {
    EXPECT_FALSE(check.passed);
    EXPECT_NE(std::string::npos, check.shortfall.find("above 0.01")) << check.shortfall;
  }
}
