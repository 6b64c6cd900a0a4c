#pragma once

#include "ZoqShell/System/LinkOpening.h"

namespace zoq {

/// Opens URLs with `xdg-open URL` and settings tools by running them, each as
/// a detached child in a session of its own (no shell; standard input and
/// output on /dev/null), so closing zoq leaves the window open. Returns false
/// when the program cannot be started (not installed, not executable); a
/// helper thread reaps the child whenever it ends.
class XdgLinkOpener final : public LinkOpening {
public:
    bool open(const DesktopLink& link) noexcept override;
};

} // namespace zoq
