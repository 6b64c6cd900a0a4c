#pragma once

#include "ZoqCaptureEngine/SystemProcessTree.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zoq::test {

/// One process as a fake procfs shows it.
struct FakeProcess {
    std::int32_t pid = 0;
    std::int32_t parentPid = 1;
    std::uint64_t startTime = 1000;
    std::string comm = "process";
    std::uint32_t uid = 1000;
    /// Where "exe" links to, relative to the fake system's root ("usr/bin/x")
    /// or absolute ("/app/x", a path in a sandbox); empty for no link.
    std::string exe = {};
    /// The unified-hierarchy path ("0::PATH"); empty for "/".
    std::string cgroup = {};
    std::vector<std::string> environment = {};
    /// The content of "root/.flatpak-info"; empty for none.
    std::string flatpakInfo = {};
    /// "NSpid" after our own pid (the pids in inner namespaces).
    std::vector<std::int32_t> innerPids = {};
};

/// A fake system in a directory: "proc/" laid out as procfs, "applications/"
/// for desktop entries, and programs anywhere below it. Header-only so that
/// benchmarks build the same trees as tests.
class FakeSystem {
public:
    explicit FakeSystem(std::filesystem::path root) : root_(std::move(root)) {
        std::filesystem::create_directories(root_ / "proc");
        std::filesystem::create_directories(root_ / "applications");
        std::filesystem::create_directories(root_ / "bin");
    }

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path proc() const { return root_ / "proc"; }
    std::filesystem::path applications() const { return root_ / "applications"; }

    /// `text` with every "@ROOT@" replaced by the root's path.
    std::string rooted(std::string text) const {
        for (std::size_t at; (at = text.find("@ROOT@")) != std::string::npos;) {
            text.replace(at, 6, root_.string());
        }
        return text;
    }

    void write(const std::filesystem::path& path, const std::string& text) const {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
        if (!std::filesystem::exists(path)) {
            throw std::runtime_error("cannot write " + path.string());
        }
    }

    /// An executable file at `relative` below the root; its absolute path.
    std::filesystem::path program(const std::string& relative) const {
        const std::filesystem::path path = root_ / relative;
        write(path, "#!/bin/true\n");
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }

    /// Sets the modification time of `directory` and every directory below it
    /// an hour back, as if nothing had changed there for a while.
    static void settle(const std::filesystem::path& directory) {
        const auto past = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
        std::filesystem::last_write_time(directory, past);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
            if (entry.is_directory() && !entry.is_symlink()) {
                std::filesystem::last_write_time(entry.path(), past);
            }
        }
    }

    /// "applications/<relative>" with `text` ("@ROOT@" replaced).
    void installApplication(const std::string& relative, const std::string& text) const {
        write(applications() / relative, rooted(text));
    }

    void add(const FakeProcess& p) const {
        const std::filesystem::path directory = proc() / std::to_string(p.pid);
        write(directory / "stat",
              std::to_string(p.pid) + " (" + p.comm + ") S " + std::to_string(p.parentPid) +
                  " 1 1 0 -1 4194560 100 0 0 0 1 1 0 0 20 0 1 0 " + std::to_string(p.startTime) +
                  " 1000000 100 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n");
        std::string nspid = std::to_string(p.pid);
        for (const std::int32_t inner : p.innerPids) {
            nspid += "\t" + std::to_string(inner);
        }
        const std::string uid = std::to_string(p.uid);
        write(directory / "status", "Name:\t" + p.comm + "\nState:\tS (sleeping)\nPid:\t" +
                                        std::to_string(p.pid) + "\nPPid:\t" + std::to_string(p.parentPid) +
                                        "\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid +
                                        "\nNSpid:\t" + nspid + "\n");
        write(directory / "cgroup", "0::" + (p.cgroup.empty() ? std::string("/") : p.cgroup) + "\n");
        std::string environment;
        for (const std::string& variable : p.environment) {
            environment += rooted(variable) + '\0';
        }
        write(directory / "environ", environment);
        std::filesystem::create_directories(directory / "root");
        if (!p.flatpakInfo.empty()) {
            write(directory / "root/.flatpak-info", p.flatpakInfo);
        }
        if (!p.exe.empty()) {
            std::filesystem::create_symlink(
                p.exe.front() == '/' ? std::filesystem::path(p.exe) : root_ / p.exe, directory / "exe");
        }
    }

    std::shared_ptr<SystemProcessTree> tree() const {
        return std::make_shared<SystemProcessTree>(proc(), std::vector{applications()},
                                                   std::vector{root_ / "bin"});
    }

private:
    std::filesystem::path root_;
};

} // namespace zoq::test
