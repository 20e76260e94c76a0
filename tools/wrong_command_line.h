// The tools' one way of refusing a command line that parsed but cannot be
// used (a value out of range, a missing value of one form).
#pragma once

#include <string>

#include <tclap/CmdLine.h>

namespace pedscan {

// The report naming `argument` and the usage on stderr, as TCLAP gives them
// for a parse error; then status 1, through TCLAP::ExitException.
[[noreturn]] inline void WrongCommandLine(TCLAP::CmdLine& cmd, const std::string& argument,
                                          const std::string& message) {
  TCLAP::CmdLineParseException error(message, argument);
  TCLAP::StdOutput().failure(cmd, error);
  throw TCLAP::ExitException(1);
}

}  // namespace pedscan
