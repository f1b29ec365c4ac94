#pragma once

// The subcommands of hover_lock_tune, one source file each, and what they share: reading the documents they
// are given. A subcommand returns the process's exit status: 0 when it ran, 1 for a wrong command line,
// 2 for an input file that cannot be read or is refused.

#include <functional>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include <quarn_dev/hover_lock_core.h>
#include <quarn_sim/vehicle_model.h>

namespace quarn::sim
{

/// An input the tool cannot use; its text says which file and why. Ends the tool with status 2.
struct InputError : std::runtime_error
{
  using std::runtime_error::runtime_error;
};

/// Parses the command line of subcommand name into the variables of named (help among them) and of hidden, whose
/// options positional names in order. The status to exit with when the subcommand is to stop here: 0 after
/// printing usage for --help, 1 after a wrong command line (the error and usage on stderr); empty to go on.
std::optional<int> parseCommandLine(int argc, char** argv, const std::string& name,
                                    const boost::program_options::options_description& named,
                                    const boost::program_options::options_description& hidden,
                                    const std::vector<std::string>& positional,
                                    const std::function<void(std::ostream&)>& usage);

/// The whole text of the file at path; InputError when it cannot be read.
std::string readTextFile(const std::string& path);

/// The vehicle model document at path; InputError naming the file and the broken item.
quarn::sim::VehicleModelConfig readModelFile(const std::string& path);

/// The hover_lock configuration at path, holding usable gain and pose vectors; InputError otherwise.
quarn::dev::DeviceConfig readConfigFile(const std::string& path);

/// `hover_lock_tune evaluate MODEL.xml CONFIG.xml [options]`: scores a configuration over the scenario set.
int evaluate(int argc, char** argv);

/// `hover_lock_tune identify BAG -o MODEL.xml [options]`: the vehicle model a recorded bag shows.
int identify(int argc, char** argv);

/// `hover_lock_tune tune MODEL.xml --config BASE.xml -o TUNED.xml [options]`: gains tuned on a vehicle model.
int tune(int argc, char** argv);

/// `hover_lock_tune settling`: prints the settling rule of the scores (tolerance per axis, hold time) as JSON.
int settling(int argc, char** argv);

}  // namespace quarn::sim
