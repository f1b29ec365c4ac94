#include <iostream>

#include "subcommands.h"

namespace po = boost::program_options;

namespace hover_lock_tune
{

std::optional<int> parseCommandLine(int argc, char** argv, const std::string& name,
                                    const po::options_description& options,
                                    const po::positional_options_description& positional,
                                    const std::function<void(std::ostream&)>& usage)
{
  po::variables_map vm;
  try
  {
    po::store(po::command_line_parser(argc, argv).options(options).positional(positional).run(), vm);
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

}  // namespace hover_lock_tune
