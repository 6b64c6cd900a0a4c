#include "ZoqCore/Capture/ProcessActivity.h"

#include <ostream>

namespace zoq {

std::ostream& operator<<(std::ostream& out, const ProcessActivity& activity) {
    return out << "ProcessActivity{pid " << activity.pid << ", " << activity.bundleId
               << (activity.runningInput ? ", input" : ", no input") << '}';
}

} // namespace zoq
