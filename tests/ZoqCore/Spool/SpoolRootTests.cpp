// Which folders become spools, and that a folder that is no spool comes out
// of a refusal exactly as it went in.

#include "ZoqCore/Spool/SpoolRoot.h"
#include "ZoqCore/Support/CoreError.h"
#include "tests/TestSupport/TempDirectory.h"

#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;

constexpr const char* part = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b-0";

void file(const fs::path& path, const std::string& text = "x") {
    std::ofstream(path) << text;
}

/// Every entry below `root` (and root itself) with its type, mode and size.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    const auto describe = [](const fs::path& path) {
        struct stat status {};
        ::lstat(path.c_str(), &status);
        return std::to_string(status.st_mode) + "/" + std::to_string(status.st_size);
    };
    out["."] = describe(root);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        out[fs::relative(entry.path(), root).string()] = describe(entry.path());
    }
    return out;
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    ::stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
    SpoolRoot::Kind kind;
};

TEST(SpoolRoot, NewEmptyAndEarlierSpoolsAreMarkedAndAnythingElseIsLeftAsItWas) {
    const Case cases[] = {
        {"missing, with missing parents", [](const fs::path&) {}, SpoolRoot::Kind::missing},
        {"an empty folder", [](const fs::path& root) { fs::create_directories(root); },
         SpoolRoot::Kind::empty},
        {"a marked spool with anything in it",
         [](const fs::path& root) {
             fs::create_directories(root / "whatever");
             file(root / SpoolRoot::markerName);
             file(root / "notes.txt");
         },
         SpoolRoot::Kind::marked},
        {"a spool from before the mark",
         [](const fs::path& root) {
             fs::create_directories(root / part);
             fs::create_directories(root / "3F2B8C1E-9A4D-4E6F-8B2A-1C3D5E7F9A0B-12");
             file(root / part / "manifest.json");
             file(root / ".lock", "");
             file(root / "capture-preferences.json", R"({"paused":true})");
             file(root / "capture-preferences.json.next");
         },
         SpoolRoot::Kind::unmarkedSpool},
        {"a home folder",
         [](const fs::path& root) {
             fs::create_directories(root / "Documents" / "taxes");
             fs::create_directories(root / "Music");
             file(root / ".bashrc");
             file(root / "Documents" / "taxes" / "2025.pdf");
             fs::permissions(root / "Music",
                             fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
         },
         SpoolRoot::Kind::foreign},
        {"a spool from before the mark and one other file",
         [](const fs::path& root) {
             fs::create_directories(root / part);
             file(root / "todo.txt");
         },
         SpoolRoot::Kind::foreign},
        {"a folder named almost like a part",
         [](const fs::path& root) { fs::create_directories(root / "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b-"); },
         SpoolRoot::Kind::foreign},
        {"a file named like a part",
         [](const fs::path& root) {
             fs::create_directories(root);
             file(root / part);
         },
         SpoolRoot::Kind::foreign},
        {"a link where the mark belongs",
         [](const fs::path& root) {
             fs::create_directories(root / "Pictures");
             fs::create_symlink("/etc/hostname", root / SpoolRoot::markerName);
         },
         SpoolRoot::Kind::foreign},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const test::TempDirectory temp;
        const fs::path root = temp / "a" / "b" / "spool";
        test.make(root);
        EXPECT_EQ(SpoolRoot::inspect(root), test.kind);
        if (test.kind == SpoolRoot::Kind::foreign) {
            const auto before = snapshot(root);
            try {
                SpoolRoot::prepare(root);
                ADD_FAILURE() << "prepared";
            } catch (const CoreError& error) {
                EXPECT_EQ(error.reason(), R"(invalid("not a zoq spool"))");
            }
            EXPECT_THROW(SpoolRoot::refuseForeign(root), CoreError);
            EXPECT_EQ(snapshot(root), before);
            continue;
        }
        EXPECT_NO_THROW(SpoolRoot::refuseForeign(root));
        SpoolRoot::prepare(root);
        EXPECT_EQ(SpoolRoot::inspect(root), SpoolRoot::Kind::marked);
        EXPECT_TRUE(fs::is_regular_file(root / SpoolRoot::markerName));
        EXPECT_EQ(modeOf(root), 0700u);
        if (test.kind == SpoolRoot::Kind::missing) {
            EXPECT_EQ(modeOf(root.parent_path()), 0700u);
            EXPECT_EQ(modeOf(root / SpoolRoot::markerName), 0600u);
        }
        // Preparing again changes nothing.
        const auto prepared = snapshot(root);
        SpoolRoot::prepare(root);
        EXPECT_EQ(snapshot(root), prepared);
    }
}

TEST(SpoolRoot, AnythingButADirectoryIsRefused) {
    const test::TempDirectory temp;
    file(temp / "plain");
    try {
        SpoolRoot::prepare(temp / "plain");
        ADD_FAILURE() << "prepared";
    } catch (const CoreError& error) {
        EXPECT_EQ(error.reason(), R"(invalid("not a directory"))");
    }
    EXPECT_THROW(SpoolRoot::prepare(temp / "plain" / "spool"), CoreError);
    EXPECT_EQ(std::ifstream(temp / "plain").get(), 'x');
}

} // namespace
} // namespace zoq
