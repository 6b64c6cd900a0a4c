// upload-sink: runs the benchmark's upload sink until its standard input
// closes, after printing the port it listens on (one line).

#include "bench/upload/UploadSink.h"

#include <cstdio>
#include <iostream>

int main() {
    zoq::bench::UploadSink sink;
    std::cout << sink.port() << std::endl;
    char ignored[256];
    while (std::fread(ignored, 1, sizeof ignored, stdin) > 0) {
    }
    return 0;
}
