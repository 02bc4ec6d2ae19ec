#include <iostream>

#include "cli.h"
#include "nativeLibrary.h"

int main(int argc, char** argv) {
    host::useBinaryStandardOutput();
    return host::runCli(argc, argv, std::cout, std::cerr);
}
