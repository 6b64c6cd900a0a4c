#include "ZoqCore/Capture/CaptureAllowlist.h"

namespace zoq {

const CaptureAllowlist::BundleIds CaptureAllowlist::seedOptions{
    "us.zoom.xos",       "com.microsoft.teams2",  "com.microsoft.teams",
    "com.google.Chrome", "com.apple.Safari",      "com.tinyspeck.slackmacgap",
    "com.hnc.Discord",   "net.whatsapp.WhatsApp", "com.apple.FaceTime",
};

const CaptureAllowlist::BundleIds CaptureAllowlist::ignored{
    "com.apple.VoiceMemos",  "com.apple.VoiceMemos.VoiceMemos",
    "com.apple.DictationIM", "com.apple.SpeechRecognitionCore.speechrecognitiond",
    "com.apple.assistantd",  "com.apple.Siri",
    "com.apple.CoreSpeech",
};

bool CaptureAllowlist::eligible(const ProcessActivity& activity) const noexcept {
    return activity.runningInput && activity.pid != ownPID && activity.bundleId != ownBundleId &&
           !ignored.contains(activity.bundleId) && allowed.contains(activity.bundleId);
}

} // namespace zoq
