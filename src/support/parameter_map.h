// The parameter map of one parameter set: text keys to text values, in
// ascending byte-wise key order (which fixes the order of parameter names in
// model files). Numbers in it are read as atoi reads them.
#pragma once

#include <map>
#include <string>

namespace pedscan {

using ParameterMap = std::map<std::string, std::string>;

}  // namespace pedscan
