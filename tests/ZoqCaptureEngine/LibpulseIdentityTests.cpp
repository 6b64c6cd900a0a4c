// How the backend reads who a client is from a real libpulse property list:
// clients may store any bytes under a key, and PulseAudio's own string getter
// answers nothing for those that are not UTF-8.

#include "ZoqCaptureEngine/LibpulseBackend.h"

#include <gtest/gtest.h>
#include <memory>
#include <pulse/proplist.h>
#include <string>

namespace zoq {
namespace {

struct PropertyCase {
    const char* what;
    std::string stored; ///< the bytes under "application.id"
    bool asString;      ///< set as a string (pa_proplist_sets) or as raw bytes
    std::string shown;
};

TEST(LibpulseIdentity, ApplicationIdsThatAreNotUTF8AreShownWithReplacementCharacters) {
    const std::string replacement = "\xEF\xBF\xBD";
    const PropertyCase cases[] = {
        {"plain text", "org.example.Call", true, "org.example.Call"},
        {"plain text as bytes", std::string("org.example.Call\0", 17), false, "org.example.Call"},
        {"non-ASCII text", "org.example.Caf\xC3\xA9", true, "org.example.Caf\xC3\xA9"},
        {"a Latin-1 byte", "org.example.Caf\xE9", false, "org.example.Caf" + replacement},
        {"a stray continuation byte",
         "\x80"
         "call",
         false, replacement + "call"},
        {"a truncated sequence at the end", "call\xE2\x82", false, "call" + replacement},
        {"a truncated sequence in the middle",
         "a\xF0\x9F\x8E"
         "b",
         false, "a" + replacement + "b"},
        {"an encoded surrogate",
         "a\xED\xA0\x80"
         "b",
         false, "a" + replacement + replacement + replacement + "b"},
        {"an overlong slash",
         "a\xC0\xAF"
         "b",
         false, "a" + replacement + replacement + "b"},
        {"bytes after a NUL", std::string("call\0hidden", 11), false, "call"},
        {"nothing", "", false, ""},
    };
    for (const PropertyCase& test : cases) {
        const std::unique_ptr<pa_proplist, decltype(&pa_proplist_free)> list(pa_proplist_new(),
                                                                             &pa_proplist_free);
        const int stored =
            test.asString
                ? pa_proplist_sets(list.get(), PA_PROP_APPLICATION_ID, test.stored.c_str())
                : pa_proplist_set(list.get(), PA_PROP_APPLICATION_ID, test.stored.data(), test.stored.size());
        ASSERT_EQ(stored, 0) << test.what;
        pa_proplist_sets(list.get(), PA_PROP_APPLICATION_PROCESS_ID, "4242");
        const AudioClientIdentity identity = LibpulseBackend::identityOf(list.get());
        EXPECT_EQ(identity.applicationId, test.shown) << test.what;
        EXPECT_EQ(identity.claimedPid, 4242) << test.what;
    }
}

} // namespace
} // namespace zoq
