// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <ostream>
#include <string>
#include <vector>

// The commands of the control tool kx2700-keysim, callable in-process: args excludes the program
// name. Returns the exit code: 0 success, 1 the operation failed, 2 bad arguments.
namespace keysim {

int runTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace keysim
