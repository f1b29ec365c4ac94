#include <iostream>

#include "subcommands.h"

namespace po = boost::program_options;

namespace quarn::sim
{

std::optional<int> parseCommandLine(int argc, char** argv, const std::string& name,
                                    const po::options_description& named, const po::options_description& hidden,
                                    const std::vector<std::string>& positional,
                                    const std::function<void(std::ostream&)>& usage)
{
  po::options_description all;
  all.add(named).add(hidden);
  po::positional_options_description positions;
  for (const std::string& option : positional)
  {
    positions.add(option.c_str(), 1);
  }
  po::variables_map vm;
  try
  {
    po::store(po::command_line_parser(argc, argv).options(all).positional(positions).run(), vm);
    po::notify(vm);
  }
  catch (const po::error& e)
  {
    std::cerr << "hover_lock_tune " << name << ": " << e.what() << "\n\n";
    usage(std::cerr);
    return 1;
  }
  if (vm.count("help"))
  {
    usage(std::cout);
    return 0;
  }
  return std::nullopt;
}

}  // namespace quarn::sim
