#include "Zoq/zoq/CommandLine.h"
#include "ZoqShell/Messages/Translation.h"

#include <clocale>
#include <iostream>

int main(int argc, char** argv) {
    // Only the language of messages comes from the environment: numbers in
    // what zoq writes keep the C locale's form.
    std::setlocale(LC_MESSAGES, "");
    zoq::setUpTranslations();
    return zoq::cli::run({argv + 1, argv + argc}, {std::cin, std::cout, std::cerr});
}
