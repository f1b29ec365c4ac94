// hover_lock_tune: tools to score and tune hover_lock configurations on a simulated vehicle, as subcommands.
//
//   rosrun quarn_sim hover_lock_tune identify BAG -o MODEL.xml
//   rosrun quarn_sim hover_lock_tune evaluate MODEL.xml CONFIG.xml [--runs N ...]
//   rosrun quarn_sim hover_lock_tune tune MODEL.xml --config BASE.xml -o TUNED.xml
//   rosrun quarn_sim hover_lock_tune settling
//   rosrun quarn_sim hover_lock_tune help evaluate
#include <cstring>
#include <iostream>
#include <string>

#include "subcommands.h"

namespace
{

struct Subcommand
{
  const char* name;
  const char* summary;
  int (*run)(int argc, char** argv);
};

const Subcommand SUBCOMMANDS[] = {
  { "identify", "fit a vehicle model to a recorded bag", quarn::sim::identify },
  { "evaluate", "score a configuration over the scenario campaign on a vehicle model", quarn::sim::evaluate },
  { "tune", "search the gains that hold a vehicle model best and write the configuration", quarn::sim::tune },
  { "settling", "print the settling rule of the scores as JSON", quarn::sim::settling },
};

int usage(std::ostream& out, int status)
{
  out << "Usage: hover_lock_tune <subcommand> [args]\n\n"
         "Scores hover_lock configurations on a simulated vehicle, in-process and without a ROS master.\n\n"
         "Available subcommands:\n";
  for (const Subcommand& s : SUBCOMMANDS)
  {
    out << "   " << s.name << std::string(12 - std::strlen(s.name), ' ') << s.summary << "\n";
  }
  out << "\nFor additional information, see hover_lock_tune <subcommand> --help\n";
  return status;
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc < 2)
  {
    return usage(std::cerr, 1);
  }
  std::string name = argv[1];
  char help[] = "--help";
  char* helpArgs[] = { argv[0], help, nullptr };
  if (name == "help" || name == "-h" || name == "--help")
  {
    if (argc < 3)
    {
      return usage(std::cout, 0);
    }
    // "help evaluate" is "evaluate --help".
    name = argv[2];
    argc = 2;
    argv = helpArgs;
  }
  else
  {
    // The subcommand sees its own name as argv[0].
    --argc;
    ++argv;
  }
  for (const Subcommand& s : SUBCOMMANDS)
  {
    if (name == s.name)
    {
      return s.run(argc, argv);
    }
  }
  std::cerr << "hover_lock_tune: unknown subcommand '" << name << "'\n\n";
  return usage(std::cerr, 1);
}
