#include "app/my_output.h"

#include <iostream>

namespace pedscan {

void MyOutput::usage(TCLAP::CmdLineInterface& cmd) {
  std::cout << std::endl;
  std::cout << "pedscan (version " << cmd.getVersion() << ")" << std::endl << std::endl;
  std::cout << std::endl;
  std::cout << "USAGE: " << std::endl << std::endl;
  _shortUsage(cmd, std::cout);
  std::cout << std::endl << std::endl << "Where: " << std::endl << std::endl;
  _longUsage(cmd, std::cout);
  std::cout << std::endl;
}

}  // namespace pedscan
