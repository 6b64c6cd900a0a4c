// transport-upload URL FILE ["NAME: VALUE"...]: sends FILE as one PUT through
// zoq's production transport, the way the uploader sends a recording (with the
// presigned target's headers, when given), and prints the status, the response
// body and the process's peak resident memory in KiB.

#include "ZoqShell/Transport/CurlWireTransport.h"
#include "ZoqShell/Transport/TransportUnavailable.h"

#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <sys/resource.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: transport-upload URL FILE [\"NAME: VALUE\"...]\n";
        return 2;
    }
    try {
        const std::filesystem::path file = argv[2];
        const auto size = static_cast<std::int64_t>(std::filesystem::file_size(file));
        std::map<std::string, std::string> headers;
        for (int index = 3; index < argc; ++index) {
            const std::string header = argv[index];
            const auto colon = header.find(": ");
            if (colon == std::string::npos) {
                std::cerr << "transport-upload: a header is \"NAME: VALUE\"\n";
                return 2;
            }
            headers[header.substr(0, colon)] = header.substr(colon + 2);
        }
        zoq::CurlWireTransport transport;
        const auto response = transport.execute({"PUT", argv[1], headers, zoq::FileRange(file, 0, size)});
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::cout << "status " << response.status << " body "
                  << std::string(response.body.begin(), response.body.end()) << " maxrss_kib "
                  << usage.ru_maxrss << "\n";
        return response.status == 200 ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "transport-upload: " << error.what() << "\n";
        return 1;
    }
}
