#include <iostream>

#include "cli.h"

int main(int argc, char** argv) {
    return host::runCli(argc, argv, std::cout, std::cerr);
}
