#include "Zoq/zoq/CommandLine.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "ZoqCore/Wire/WireDocument.h"
#include "ZoqShell/Messages/Translation.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <istream>
#include <memory>
#include <ostream>
#include <unistd.h>
#include <vector>

namespace zoq::cli {
namespace {

struct WireCheckOptions {
    std::string schema;
    std::string file;
};

std::vector<std::string> schemaNames() {
    std::vector<std::string> names;
    for (const WireSchema schema : allWireSchemas) {
        names.emplace_back(rawValue(schema));
    }
    return names;
}

// No portal document comes near this; the cap keeps "check /dev/zero" finite.
constexpr std::size_t maxDocumentBytes = 16 * 1024 * 1024;

enum class ReadResult { complete, failed, tooLarge };

ReadResult readAll(std::istream& in, Bytes& bytes) {
    std::vector<char> chunk(64 * 1024);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + in.gcount());
        if (bytes.size() > maxDocumentBytes) {
            return ReadResult::tooLarge;
        }
    }
    return in.bad() ? ReadResult::failed : ReadResult::complete;
}

struct FileDescriptor {
    int fd;
    ~FileDescriptor() { ::close(fd); }
};

// Reads a file through its descriptor so a directory or unreadable file is
// an error with its errno, not an empty document.
ReadResult readFile(const std::string& path, Bytes& bytes, int& readError) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        readError = errno;
        return ReadResult::failed;
    }
    const FileDescriptor owned{fd};
    std::vector<std::uint8_t> chunk(64 * 1024);
    while (true) {
        const ssize_t count = ::read(fd, chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            readError = errno;
            return ReadResult::failed;
        }
        if (count == 0) {
            return ReadResult::complete;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + count);
        if (bytes.size() > maxDocumentBytes) {
            return ReadResult::tooLarge;
        }
    }
}

void checkDocument(const WireCheckOptions& options, Context& context) {
    const Streams& streams = context.streams;
    Bytes bytes;
    const bool standardInput = options.file.empty() || options.file == "-";
    const std::string source = standardInput ? std::string(i18n("standard input")) : options.file;
    int readError = EIO;
    const ReadResult result =
        standardInput ? readAll(streams.in, bytes) : readFile(options.file, bytes, readError);
    if (result == ReadResult::failed) {
        streams.err << "zoq: " << substitute(i18n("cannot read {1}: {2}"), {source, std::strerror(readError)})
                    << '\n';
        context.exitCode = exitFailure;
        return;
    }
    if (result == ReadResult::tooLarge) {
        streams.err << "zoq: "
                    << substitute(i18n("{1} is larger than {2} bytes"),
                                  {source, std::to_string(maxDocumentBytes)})
                    << '\n';
        context.exitCode = exitFailure;
        return;
    }
    const WireSchema schema = *wireSchemaNamed(options.schema);
    try {
        const WireDocument document(schema, bytes);
        streams.out << textOf(document.encoded()) << '\n';
        context.exitCode = exitSuccess;
    } catch (const JSONSyntaxError& error) {
        streams.err << error.what() << '\n';
        context.exitCode = exitFailure;
    } catch (const CoreError& error) {
        streams.err << error.reason() << '\n';
        context.exitCode = exitFailure;
    }
}

} // namespace

void addWireCommand(CLI::App& app, Context& context) {
    auto* wire = app.add_subcommand("wire", i18n("Work with portal documents"));
    wire->require_subcommand(1);
    auto options = std::make_shared<WireCheckOptions>();
    auto* check = wire->add_subcommand("check", i18n("Validate a portal document; print it normalised as "
                                                     "canonical JSON, or the reason it is refused"));
    check->add_option("SCHEMA", options->schema, i18n("Document kind, e.g. UploadStatusResponse"))
        ->required()
        ->check(CLI::IsMember(schemaNames()));
    check->add_option("FILE", options->file,
                      i18n("JSON file to check (standard input when absent or \"-\")"));
    check->callback([options, &context] { checkDocument(*options, context); });
}

} // namespace zoq::cli
