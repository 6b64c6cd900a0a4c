#pragma once

#include "tests/TestSupport/ChildProcess.h"
#include "tests/TestSupport/TempDirectory.h"

#include <memory>
#include <string>
#include <vector>

namespace zoq::test {

/// An Xvfb X server of the test's own on a free display number (found with
/// -displayfd), never the machine's display. Keys held down repeat after
/// 100 ms, every 20 ms, so auto-repeat shows up within a short hold.
class XvfbDisplay {
public:
    XvfbDisplay();

    /// The display name, e.g. ":7".
    const std::string& name() const { return name_; }

    /// Runs `xdotool` with `arguments` against this display and returns its
    /// exit code.
    int xdotool(const std::vector<std::string>& arguments) const;

private:
    TempDirectory directory_;
    std::string name_;
    std::unique_ptr<ChildProcess> server_;
};

} // namespace zoq::test
