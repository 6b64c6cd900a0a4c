#include "tests/TestSupport/TempDirectory.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zoq::test {

TempDirectory::TempDirectory() : TempDirectory(std::filesystem::temp_directory_path()) {}

TempDirectory::TempDirectory(const std::filesystem::path& base) {
    std::string pattern = (base / "zoq-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    // Tests make read-only or odd files on purpose; make sure they go too.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

} // namespace zoq::test
