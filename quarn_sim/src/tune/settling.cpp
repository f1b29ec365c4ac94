// hover_lock_tune settling: the settling rule of every score, as JSON, for tools that judge runs of their own (the
// demo judges the real node's runs by it).
#include <iostream>

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <boost/program_options.hpp>

#include <quarn_sim/campaign.h>

#include "subcommands.h"

namespace po = boost::program_options;

namespace quarn::sim
{

int settling(int argc, char** argv)
{
  po::options_description named("Options");
  named.add_options()("help,h", "print this help");
  const auto usage = [&](std::ostream& out) {
    out << "Usage: hover_lock_tune settling\n\n"
           "Prints the settling rule of the scores as JSON: \"tolerance\", the largest error per axis (x, y and\n"
           "depth in m, heading in rad), and \"hold\", how long (s) every axis must then stay within it up to the\n"
           "end of a run.\n\n"
        << named;
  };
  if (const std::optional<int> status = parseCommandLine(argc, argv, "settling", named, {}, {}, usage))
  {
    return *status;
  }
  Poco::JSON::Array::Ptr tolerance = new Poco::JSON::Array;
  for (const double t : TOLERANCE)
  {
    tolerance->add(t);
  }
  Poco::JSON::Object rule(true);
  rule.set("tolerance", tolerance);
  rule.set("hold", HOLD);
  rule.stringify(std::cout);
  std::cout << "\n";
  return 0;
}

}  // namespace quarn::sim
