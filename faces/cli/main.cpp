#include <iostream>
#include <string>
#include <vector>

#include "faces/cli/cli.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return qks::cli::RunCli(args, std::cout, std::cerr, qks::cli::ProcessEnvironment(argv[0]));
}
