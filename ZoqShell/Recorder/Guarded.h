#pragma once

#include <exception>
#include <iostream>

namespace zoq {

/// Runs `work` at a boundary no exception may cross: a job of the main loop,
/// a Qt slot or event handler, a callback of the model. An exception that
/// comes this far means one step failed (a settings file that vanished, a
/// write refused); the application goes on, so the failure is written to
/// standard error with `what` (the step) rather than ending the process.
template <typename Work>
void guarded(const char* what, Work&& work) noexcept {
    try {
        work();
    } catch (const std::exception& error) {
        try {
            std::cerr << "zoq: " << what << " failed: " << error.what() << std::endl;
        } catch (...) {
        }
    } catch (...) {
        try {
            std::cerr << "zoq: " << what << " failed" << std::endl;
        } catch (...) {
        }
    }
}

} // namespace zoq
