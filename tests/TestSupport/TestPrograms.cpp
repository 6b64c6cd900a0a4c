#include "tests/TestSupport/TestPrograms.h"

#include "tests/TestSupport/ChildProcess.h"

#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <unistd.h>

namespace zoq::test {

std::string requireProgram(const std::string& name, const std::string& package) {
    if (name.find('/') != std::string::npos && ::access(name.c_str(), X_OK) == 0) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (name.find('/') == std::string::npos && !rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string directory(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    throw std::runtime_error(
        name + " is missing: this test runs it for real (`./dev deps` installs the Debian package " +
        package + ")");
}

int runProgram(const std::vector<std::string>& args, const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> resolved = args;
    resolved.at(0) = requireProgram(args.at(0), args.at(0));
    ChildProcess child(resolved, extraEnvironment);
    return child.exitCode();
}

} // namespace zoq::test
