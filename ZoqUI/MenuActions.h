#pragma once

#include "ZoqCaptureEngine/EngineConfiguration.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/System/ZoqDeepLink.h"

#include <functional>
#include <string_view>

namespace zoq {

class ShellModel;
class LinkOpening;

/// The tray's windows, by the identifiers the menu opens them with.
enum class TrayWindow { allowlist, pairing, hotkey, recordings };

/// "allowlist", "pairing", "hotkey", "recordings".
std::string_view identifier(TrayWindow window) noexcept;

/// What the menu's items do. Every one is a call into the shell model, a
/// window or a settings page; the menu itself decides nothing. Main thread.
class MenuActions {
public:
    virtual ~MenuActions() = default;
    virtual void toggleRecorder() = 0;
    virtual void togglePause() = 0;
    virtual void requestMicrophonePermission() = 0;
    virtual void uploadNow() = 0;
    virtual void setChime(bool enabled) = 0;
    virtual void setSystemAudioSource(SystemAudioSource source) = 0;
    virtual void setTellNotAllowed(bool enabled) = 0;
    virtual void setLoginItem(bool enabled) = 0;
    virtual void openWindow(TrayWindow window) = 0;
    virtual void openSettings(ZoqDeepLink page) = 0;
    virtual void quit() = 0;
};

/// The production actions: the model's operations, settings pages through
/// `links` (their answers are ignored: there is nothing to do when a desktop
/// has no such page), windows and quitting through the given functions.
/// Everything is borrowed and must outlive the actions.
class ModelMenuActions final : public MenuActions {
public:
    static constexpr const char* noSoundSettings = I18N_NOOP("No sound settings found");
    static constexpr const char* noSoundSettingsBody = I18N_NOOP(
        "This desktop has no sound settings zoq can open, and pavucontrol is not installed. Install it "
        "(apt install pavucontrol) to choose the microphone and its level.");

    ModelMenuActions(ShellModel& model, LinkOpening& links, std::function<void(TrayWindow)> openWindow,
                     std::function<void()> quit);

    void toggleRecorder() override;
    void togglePause() override;
    void requestMicrophonePermission() override;
    void uploadNow() override;
    void setChime(bool enabled) override;
    void setSystemAudioSource(SystemAudioSource source) override;
    void setTellNotAllowed(bool enabled) override;
    void setLoginItem(bool enabled) override;
    void openWindow(TrayWindow window) override;
    void openSettings(ZoqDeepLink page) override;
    void quit() override;

private:
    ShellModel& model_;
    LinkOpening& links_;
    std::function<void(TrayWindow)> openWindow_;
    std::function<void()> quit_;
};

} // namespace zoq
