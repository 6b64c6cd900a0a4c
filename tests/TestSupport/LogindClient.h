#pragma once

#include <string>
#include <tuple>
#include <vector>

struct sd_bus;

namespace zoq::test {

/// (what, who, why, mode) of an inhibitor lock, as logind lists it.
using Inhibitor = std::tuple<std::string, std::string, std::string, std::string>;

/// A test's own client of the mock logind (python3-dbusmock's "logind"
/// template, see `PrivateBus::startMock`): what it lists and what it emits.
class LogindClient {
public:
    /// Connects to the bus at `address`; throws std::runtime_error when it
    /// cannot.
    explicit LogindClient(const std::string& address);
    ~LogindClient();
    LogindClient(const LogindClient&) = delete;
    LogindClient& operator=(const LogindClient&) = delete;

    /// Every inhibitor the mock holds; empty when logind is not there.
    std::vector<Inhibitor> inhibitors();

    /// Makes the mock emit PrepareForSleep(`sleeping`), as logind does before
    /// a suspend and after the resume. Fails the test when it cannot.
    void prepareForSleep(bool sleeping);

private:
    sd_bus* bus_ = nullptr;
};

} // namespace zoq::test
