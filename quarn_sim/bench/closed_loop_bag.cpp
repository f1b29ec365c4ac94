// Writes a bag of hover_lock's arithmetic holding a pose on a vehicle model, for timing `hover_lock_tune identify`
// on a long recording:
//
//   closed_loop_bag MODEL.xml OUT.bag SECONDS NAV_RATE
#include <iostream>
#include <stdexcept>
#include <string>

#include <quarn_sim/vehicle_model.h>
#include <quarn_sim_test/closed_loop.h>

#include "subcommands.h"

int main(int argc, char** argv)
{
  if (argc != 5)
  {
    std::cerr << "usage: closed_loop_bag MODEL.xml OUT.bag SECONDS NAV_RATE\n";
    return 1;
  }
  try
  {
    quarn::sim::VehicleModelConfig model = quarn::sim::readModelFile(argv[1]);
    model.navRate = std::stod(argv[4]);
    quarn_sim_test::writeBag(quarn_sim_test::closedLoop(model, std::stod(argv[3]), true, 1), argv[2]);
  }
  catch (const std::exception& e)
  {
    std::cerr << "closed_loop_bag: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
