#pragma once

#include <filesystem>

namespace zoq::test {

/// A private (0700) directory under `base` ($TMPDIR by default), removed
/// with everything in it when the object goes away.
class TempDirectory {
public:
    TempDirectory();
    explicit TempDirectory(const std::filesystem::path& base);
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& child) const { return path_ / child; }

private:
    std::filesystem::path path_;
};

} // namespace zoq::test
