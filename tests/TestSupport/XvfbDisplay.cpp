#include "tests/TestSupport/XvfbDisplay.h"

#include "tests/TestSupport/TestPrograms.h"

#include <fstream>
#include <stdexcept>

namespace zoq::test {

XvfbDisplay::XvfbDisplay() {
    const std::string xvfb = requireProgram("Xvfb", "xvfb");
    requireProgram("xdotool", "xdotool");
    const auto printed = directory_ / "display";
    // Xvfb writes the display number it chose to descriptor 3, here the
    // file ChildProcess gives as standard output; its chatter goes to a log.
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{
            "/bin/sh", "-c",
            "exec \"$0\" -displayfd 3 -noreset -nolisten tcp -ardelay 100 -arinterval 20 "
            "-screen 0 640x480x24 3>&1 >/dev/null 2>\"$1\"",
            xvfb, (directory_ / "xvfb.log").string()},
        std::vector<std::string>{}, printed);
    std::string number;
    const bool started = eventually([&] {
        std::ifstream in(printed);
        return static_cast<bool>(std::getline(in, number)) && in.good() && !number.empty();
    });
    if (!started) {
        throw std::runtime_error("Xvfb did not start (see " + (directory_ / "xvfb.log").string() + ")");
    }
    name_ = ":" + number;
}

int XvfbDisplay::xdotool(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runProgram(command, {"DISPLAY=" + name_});
}

} // namespace zoq::test
