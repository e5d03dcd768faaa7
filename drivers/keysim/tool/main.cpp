// SPDX-License-Identifier: Apache-2.0
#include "ToolCommands.h"

#include <iostream>

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return keysim::runTool(args, std::cout, std::cerr);
}
