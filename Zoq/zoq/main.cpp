#include "Zoq/zoq/CommandLine.h"

#include <iostream>

int main(int argc, char** argv) {
    return zoq::cli::run({argv + 1, argv + argc}, {std::cin, std::cout, std::cerr});
}
