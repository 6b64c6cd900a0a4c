// zoq-test-call-app — plays a call application that holds the microphone.
//
//   zoq-test-call-app --name NAME --id ID [--device SOURCE] [--corked] [--peak]
//                     [--property KEY=VALUE]...
//
// Opens a record stream on the default source (or SOURCE) under the given
// "application.name" and "application.id", like a call or meeting application
// does, and reads its audio away. --corked opens it corked; --peak opens a
// level meter instead, the way desktop volume controls do (peak detection
// at 25 Hz). --property sets any other property on the connection and the
// stream, as a client may (an "application.process.id" of another process,
// the keys the server uses for what it verified). Prints "ready STREAM CLIENT"
// once the stream runs, then obeys one command per line on standard input,
// answering each once the server has applied it:
//   cork -> "corked", uncork -> "uncorked", exit (or end of input) -> exits 0.
// Any failure prints "error: ..." to standard error and exits 1.
//
// A stand-in for a third-party application, written the way one is: directly
// against libpulse, independent of zoq's own backend.

#include <cstdio>
#include <cstring>
#include <iostream>
#include <pulse/pulseaudio.h>
#include <string>
#include <utility>
#include <vector>

namespace {

pa_threaded_mainloop* loop = nullptr;

[[noreturn]] void fail(const std::string& what, pa_context* context) {
    std::cerr << "error: " << what << ": " << pa_strerror(pa_context_errno(context)) << std::endl;
    std::_Exit(1);
}

void signalLoop(pa_context*, void*) {
    pa_threaded_mainloop_signal(loop, 0);
}
void signalStream(pa_stream*, void*) {
    pa_threaded_mainloop_signal(loop, 0);
}

void drain(pa_stream* stream, std::size_t, void*) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        pa_stream_drop(stream);
    }
}

void onSuccess(pa_stream*, int success, void* done) {
    *static_cast<int*>(done) = success ? 1 : -1;
    pa_threaded_mainloop_signal(loop, 0);
}

} // namespace

int main(int argc, char** argv) {
    std::string name = "zoq-test-call-app", id, device;
    bool corked = false, peak = false;
    std::vector<std::pair<std::string, std::string>> extra;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--name" || argument == "--id" || argument == "--device") && i + 1 < argc) {
            (argument == "--name" ? name : argument == "--id" ? id : device) = argv[++i];
        } else if (argument == "--property" && i + 1 < argc && std::strchr(argv[i + 1], '=') != nullptr) {
            const std::string property = argv[++i];
            const std::size_t equals = property.find('=');
            extra.emplace_back(property.substr(0, equals), property.substr(equals + 1));
        } else if (argument == "--corked") {
            corked = true;
        } else if (argument == "--peak") {
            peak = true;
        } else {
            std::cerr << "usage: zoq-test-call-app --name NAME --id ID [--device SOURCE] [--corked] [--peak] "
                         "[--property KEY=VALUE]...\n";
            return 2;
        }
    }

    loop = pa_threaded_mainloop_new();
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, name.c_str());
    if (!id.empty()) {
        pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, id.c_str());
    }
    for (const auto& [key, value] : extra) {
        pa_proplist_sets(properties, key.c_str(), value.c_str());
    }
    pa_context* context =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), name.c_str(), properties);
    pa_context_set_state_callback(context, signalLoop, nullptr);
    pa_threaded_mainloop_lock(loop);
    pa_threaded_mainloop_start(loop);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        fail("connect", context);
    }
    while (pa_context_get_state(context) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            fail("connect", context);
        }
        pa_threaded_mainloop_wait(loop);
    }

    const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, peak ? 25u : 48000u, 1};
    pa_stream* stream =
        pa_stream_new_with_proplist(context, peak ? "Peak detect" : "call", &sampleSpec, nullptr, properties);
    pa_stream_set_state_callback(stream, signalStream, nullptr);
    pa_stream_set_read_callback(stream, drain, nullptr);
    pa_buffer_attr attributes;
    std::memset(&attributes, 0xff, sizeof attributes);
    attributes.fragsize = (peak ? 1 : 480) * sizeof(float);
    int flags = PA_STREAM_ADJUST_LATENCY;
    if (corked) {
        flags |= PA_STREAM_START_CORKED;
    }
    if (peak) {
        flags |= PA_STREAM_PEAK_DETECT;
    }
    if (pa_stream_connect_record(stream, device.empty() ? nullptr : device.c_str(), &attributes,
                                 static_cast<pa_stream_flags_t>(flags)) < 0) {
        fail("record", context);
    }
    while (pa_stream_get_state(stream) != PA_STREAM_READY) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            fail("record", context);
        }
        pa_threaded_mainloop_wait(loop);
    }
    std::printf("ready %u %u\n", pa_stream_get_index(stream), pa_context_get_index(context));
    std::fflush(stdout);
    pa_threaded_mainloop_unlock(loop);

    std::string command;
    while (std::getline(std::cin, command) && command != "exit") {
        if (command != "cork" && command != "uncork") {
            std::cerr << "error: unknown command " << command << std::endl;
            continue;
        }
        pa_threaded_mainloop_lock(loop);
        int done = 0;
        pa_operation* operation = pa_stream_cork(stream, command == "cork", onSuccess, &done);
        while (operation != nullptr && done == 0 && PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            pa_threaded_mainloop_wait(loop);
        }
        if (operation == nullptr || done < 0) {
            fail(command, context);
        }
        pa_operation_unref(operation);
        pa_threaded_mainloop_unlock(loop);
        std::printf("%s\n", command == "cork" ? "corked" : "uncorked");
        std::fflush(stdout);
    }

    pa_threaded_mainloop_lock(loop);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_threaded_mainloop_unlock(loop);
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
    pa_proplist_free(properties);
    return 0;
}
