#include "ZoqShell/System/PortalGlobalHotKey.h"

#include "ZoqCaptureEngine/SdBus.h"
#include "ZoqCore/Spool/FileDescriptor.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/System/KeyCombination.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zoq {
namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* shortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";
/// How long a method call may take to be answered (the answer to a request,
/// which may wait for the person, has its own deadline).
constexpr std::chrono::milliseconds callTimeout{5'000};

/// Calls `visit(key)` for each entry of the a{sv} the message is at; `visit`
/// reads the variant and returns true, or returns false to have it skipped.
template <typename Visit>
void readVardict(sd_bus_message* message, Visit visit) {
    sdbus::check(sd_bus_message_enter_container(message, 'a', "{sv}"), "portal reply");
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        sdbus::check(sd_bus_message_read(message, "s", &key), "portal reply");
        if (!visit(std::string(key))) {
            sdbus::check(sd_bus_message_skip(message, "v"), "portal reply");
        }
        sdbus::check(sd_bus_message_exit_container(message), "portal reply");
    }
    sdbus::check(sd_bus_message_exit_container(message), "portal reply");
}

/// Reads a variant holding a string or an object path.
std::string readPathVariant(sd_bus_message* message) {
    char type = 0;
    const char* contents = nullptr;
    sdbus::check(sd_bus_message_peek_type(message, &type, &contents), "portal reply");
    const std::string signature = contents != nullptr ? contents : "";
    if (signature != "s" && signature != "o") {
        sdbus::check(sd_bus_message_skip(message, "v"), "portal reply");
        return {};
    }
    const char* value = nullptr;
    sdbus::check(sd_bus_message_enter_container(message, 'v', signature.c_str()), "portal reply");
    sdbus::check(sd_bus_message_read(message, signature.c_str(), &value), "portal reply");
    sdbus::check(sd_bus_message_exit_container(message), "portal reply");
    return value;
}

} // namespace

/// The thread's side: the connection, the portal session and the job queue.
///
/// Nothing on this thread waits without a way out: every method call is
/// sent asynchronously and its reply awaited with a deadline, while the
/// wait also ends at a stop or when the caller abandons the registration, so
/// a portal that does not answer (its name owned by a stopped process)
/// holds up no one, and the destructor's join returns at once.
class PortalGlobalHotKey::Loop {
public:
    Loop(Callback callback, std::string address, std::chrono::milliseconds answerTimeout)
        : callback_(std::move(callback)), address_(std::move(address)), answerTimeout_(answerTimeout),
          wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (!wake_) {
            throw CoreError::io("eventfd", errno);
        }
    }

    /// Runs `job` on the thread and returns its answer (false when the
    /// connection is gone, the loop stopped first, or the call was
    /// abandoned). `job` gets the call's number for `givingUp`.
    bool call(std::function<bool(std::uint64_t)> job) {
        auto task = std::make_shared<std::packaged_task<bool(std::uint64_t)>>(std::move(job));
        std::future<bool> answer = task->get_future();
        {
            std::lock_guard guard(lock_);
            if (stopping_) {
                return false;
            }
            const std::uint64_t number = ++calls_;
            jobs_.emplace_back([task, number] { (*task)(number); });
        }
        notify();
        try {
            return answer.get();
        } catch (const std::future_error&) {
            return false; // dropped unrun at shutdown
        }
    }

    /// Runs `job` on the thread later; returns at once.
    void post(std::function<void()> job) {
        {
            std::lock_guard guard(lock_);
            if (stopping_) {
                return;
            }
            jobs_.push_back(std::move(job));
        }
        notify();
    }

    /// Every call made so far gives up waiting for the portal.
    void abandonCalls() {
        {
            std::lock_guard guard(lock_);
            abandoned_ = calls_;
        }
        notify();
    }

    void stop() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        notify();
    }

    void run() noexcept {
        try {
            bus_ = sdbus::open(sdbus::Kind::user, address_);
            sd_bus_slot* slot = nullptr;
            sdbus::check(sd_bus_match_signal_async(bus_.get(), &slot, portalName, portalPath,
                                                   shortcutsInterface, "Activated", &Loop::onActivated,
                                                   nullptr, this),
                         "sd_bus_match_signal_async");
            activated_.reset(slot);
        } catch (const CoreError&) {
            bus_.reset(); // every job answers false
        }
        while (runJobs()) {
            try {
                if (bus_ && !sdbus::processThenWait(bus_.get(), wake_.get())) {
                    bus_.reset();
                } else if (!bus_) {
                    waitForWake();
                }
                drainWake();
            } catch (const CoreError&) {
                bus_.reset();
            }
        }
        closeSession();
    }

    bool available(std::uint64_t number) {
        if (!bus_) {
            return false;
        }
        sd_bus_message* raw = nullptr;
        if (sd_bus_message_new_method_call(bus_.get(), &raw, portalName, portalPath,
                                           "org.freedesktop.DBus.Properties", "Get") < 0) {
            return false;
        }
        const sdbus::Message get(raw);
        if (sd_bus_message_append(raw, "ss", shortcutsInterface, "version") < 0) {
            return false;
        }
        return callMethod(raw, number) != nullptr;
    }

    bool bind(const KeyCombination& combination, std::uint64_t number) {
        closeSession();
        if (!available(number)) {
            return false;
        }
        try {
            std::optional<std::string> session;
            const std::string sessionToken = nextToken();
            const bool created = request(
                number, "CreateSession",
                [&](sd_bus_message* message, const std::string& token) {
                    return sd_bus_message_append(message, "a{sv}", 2, "handle_token", "s", token.c_str(),
                                                 "session_handle_token", "s", sessionToken.c_str());
                },
                [&](sd_bus_message* results) {
                    readVardict(results, [&](const std::string& key) {
                        if (key != "session_handle") {
                            return false;
                        }
                        session = readPathVariant(results);
                        return true;
                    });
                });
            if (!created || !session || session->empty()) {
                return false;
            }
            session_ = *session;
            bool bound = false;
            const std::string trigger = combination.portalTrigger();
            const bool answered = request(
                number, "BindShortcuts",
                [&](sd_bus_message* message, const std::string& token) {
                    return sd_bus_message_append(message, "oa(sa{sv})sa{sv}", session_.c_str(), 1, shortcutID,
                                                 2, "description", "s", "Pause or resume recording",
                                                 "preferred_trigger", "s", trigger.c_str(), "", 1,
                                                 "handle_token", "s", token.c_str());
                },
                [&](sd_bus_message* results) { bound = containsShortcut(results); });
            if (!answered || !bound) {
                closeSession();
                return false;
            }
            return true;
        } catch (const CoreError&) {
            closeSession();
            return false;
        }
    }

    /// Asks the portal to close the session without waiting for its answer.
    void closeSession() noexcept {
        if (session_.empty() || !bus_) {
            session_.clear();
            return;
        }
        sd_bus_message* raw = nullptr;
        if (sd_bus_message_new_method_call(bus_.get(), &raw, portalName, session_.c_str(),
                                           "org.freedesktop.portal.Session", "Close") >= 0) {
            const sdbus::Message close(raw);
            sd_bus_message_set_expect_reply(raw, 0);
            sd_bus_send(bus_.get(), raw, nullptr);
        }
        session_.clear();
    }

private:
    /// Runs every queued job; false once stopping.
    bool runJobs() {
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard guard(lock_);
                if (stopping_) {
                    jobs_.clear();
                    return false;
                }
                if (jobs_.empty()) {
                    return true;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    void notify() noexcept {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
    }

    /// The wake-ups seen so far are spent: the loops look at the jobs and
    /// the flags after every wait, so a pending wake-up must not turn the
    /// next wait into a busy loop.
    void drainWake() noexcept {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = ::read(wake_.get(), &count, sizeof count);
    }

    void waitForWake() {
        pollfd fd{wake_.get(), POLLIN, 0};
        ::poll(&fd, 1, -1);
    }

    /// Whether the wait of call `number` must end now: a stop, or the call
    /// was abandoned.
    bool givingUp(std::uint64_t number) {
        std::lock_guard guard(lock_);
        return stopping_ || abandoned_ >= number;
    }

    /// Processes the bus until `done()`, the deadline, the connection's end
    /// or `givingUp(number)`; whether `done()` held. Whatever has arrived is
    /// dispatched before `done()` is asked, so an answer that came with the
    /// last wake-up ends the wait at once.
    template <typename Done>
    bool waitFor(Done done, std::chrono::steady_clock::time_point until, std::uint64_t number) {
        for (;;) {
            for (;;) {
                const int processed = sd_bus_process(bus_.get(), nullptr);
                if (processed < 0) {
                    return false;
                }
                if (processed == 0) {
                    break;
                }
            }
            if (done()) {
                return true;
            }
            if (givingUp(number)) {
                return false;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0 ||
                !sdbus::processThenWait(bus_.get(), wake_.get(), static_cast<int>(left.count()) + 1)) {
                return false;
            }
            drainWake();
        }
    }

    /// Sends `call` and waits for its reply, at most `callTimeout`; the reply
    /// when it is a method return, none otherwise.
    sdbus::Message callMethod(sd_bus_message* call, std::uint64_t number) {
        struct Reply {
            bool arrived = false;
            sdbus::Message message;
        } reply;
        sd_bus_slot* slot = nullptr;
        const int sent = sd_bus_call_async(
            bus_.get(), &slot, call,
            [](sd_bus_message* message, void* context, sd_bus_error*) noexcept -> int {
                auto& answer = *static_cast<Reply*>(context);
                answer.arrived = true;
                if (!sd_bus_message_is_method_error(message, nullptr)) {
                    answer.message.reset(sd_bus_message_ref(message));
                }
                return 0;
            },
            &reply, static_cast<std::uint64_t>(callTimeout.count()) * 1000);
        if (sent < 0) {
            return nullptr;
        }
        const sdbus::Slot pending(slot); // dropping it cancels a call still waiting
        waitFor([&reply] { return reply.arrived; }, std::chrono::steady_clock::now() + callTimeout, number);
        return std::move(reply.message);
    }

    std::string nextToken() { return "zoq" + std::to_string(++tokens_); }

    /// Makes one portal request: subscribes to the Response of the request
    /// object the portal will create (before calling, so a fast answer is not
    /// missed), calls `method` with the arguments `append` adds, and waits
    /// for the answer, at most `answerTimeout_`. True when the portal
    /// answered with success; `read` then reads its results.
    template <typename Append, typename Read>
    bool request(std::uint64_t number, const char* method, Append append, Read read) {
        const char* unique = nullptr;
        sdbus::check(sd_bus_get_unique_name(bus_.get(), &unique), "sd_bus_get_unique_name");
        std::string sender = unique + 1; // without the ':'
        std::replace(sender.begin(), sender.end(), '.', '_');
        const std::string token = nextToken();
        const std::string path = std::string(portalPath) + "/request/" + sender + "/" + token;

        struct Answer {
            bool arrived = false;
            bool success = false;
            Read* read;
        } answer{false, false, &read};
        sd_bus_slot* slot = nullptr;
        sdbus::check(sd_bus_match_signal(
                         bus_.get(), &slot, portalName, path.c_str(), "org.freedesktop.portal.Request",
                         "Response",
                         [](sd_bus_message* message, void* context, sd_bus_error*) noexcept -> int {
                             auto& arrived = *static_cast<Answer*>(context);
                             std::uint32_t response = 2;
                             arrived.arrived = true;
                             try {
                                 if (sd_bus_message_read(message, "u", &response) >= 0 && response == 0) {
                                     (*arrived.read)(message);
                                     arrived.success = true;
                                 }
                             } catch (const CoreError&) {
                                 arrived.success = false;
                             }
                             return 0;
                         },
                         &answer),
                     "sd_bus_match_signal");
        const sdbus::Slot subscription(slot);
        sd_bus_message* raw = nullptr;
        sdbus::check(sd_bus_message_new_method_call(bus_.get(), &raw, portalName, portalPath,
                                                    shortcutsInterface, method),
                     "sd_bus_message_new_method_call");
        const sdbus::Message call(raw);
        sdbus::check(append(raw, token), "sd_bus_message_append");
        if (!callMethod(raw, number)) {
            return false;
        }
        return waitFor([&answer] { return answer.arrived; },
                       std::chrono::steady_clock::now() + answerTimeout_, number) &&
               answer.success;
    }

    static int onActivated(sd_bus_message* message, void* context, sd_bus_error*) noexcept {
        auto& self = *static_cast<Loop*>(context);
        const char* session = nullptr;
        const char* shortcut = nullptr;
        if (sd_bus_message_read(message, "os", &session, &shortcut) < 0 || self.session_.empty() ||
            self.session_ != session || std::string(shortcut) != shortcutID) {
            return 0;
        }
        try {
            if (self.callback_) {
                self.callback_();
            }
        } catch (...) {
            // The owner's callback reports its own failures.
        }
        return 0;
    }

    /// Whether a BindShortcuts answer's results list our shortcut.
    static bool containsShortcut(sd_bus_message* results) {
        bool found = false;
        readVardict(results, [&](const std::string& key) {
            if (key != "shortcuts") {
                return false;
            }
            sdbus::check(sd_bus_message_enter_container(results, 'v', "a(sa{sv})"), "portal reply");
            sdbus::check(sd_bus_message_enter_container(results, 'a', "(sa{sv})"), "portal reply");
            while (sd_bus_message_enter_container(results, 'r', "sa{sv}") > 0) {
                const char* id = nullptr;
                sdbus::check(sd_bus_message_read(results, "s", &id), "portal reply");
                found = found || std::string(id) == shortcutID;
                sdbus::check(sd_bus_message_skip(results, "a{sv}"), "portal reply");
                sdbus::check(sd_bus_message_exit_container(results), "portal reply");
            }
            sdbus::check(sd_bus_message_exit_container(results), "portal reply");
            sdbus::check(sd_bus_message_exit_container(results), "portal reply");
            return true;
        });
        return found;
    }

    const Callback callback_;
    const std::string address_;
    const std::chrono::milliseconds answerTimeout_;
    FileDescriptor wake_;
    std::mutex lock_;
    std::deque<std::function<void()>> jobs_; // guarded by lock_
    bool stopping_ = false;                  // guarded by lock_
    std::uint64_t calls_ = 0;                // guarded by lock_
    std::uint64_t abandoned_ = 0;            // guarded by lock_
    // Owned by the thread:
    sdbus::Bus bus_;
    sdbus::Slot activated_;
    std::string session_;
    std::uint64_t tokens_ = 0;
};

PortalGlobalHotKey::PortalGlobalHotKey(Callback callback, std::string busAddress,
                                       std::chrono::milliseconds answerTimeout)
    : loop_(std::make_shared<Loop>(std::move(callback), std::move(busAddress), answerTimeout)) {
    thread_ = std::thread([loop = loop_] { loop->run(); });
}

PortalGlobalHotKey::~PortalGlobalHotKey() {
    loop_->stop();
    thread_.join();
}

bool PortalGlobalHotKey::available() {
    return loop_->call([loop = loop_.get()](std::uint64_t number) { return loop->available(number); });
}

bool PortalGlobalHotKey::registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers) {
    const std::optional<KeyCombination> combination =
        KeyCombination::fromStored(HotkeyConfiguration{keyCode, carbonModifiers});
    if (!combination) {
        unregister();
        return false;
    }
    return loop_->call([loop = loop_.get(), combination = *combination](std::uint64_t number) {
        return loop->bind(combination, number);
    });
}

void PortalGlobalHotKey::unregister() noexcept {
    try {
        loop_->abandonCalls();
        loop_->post([loop = loop_.get()] { loop->closeSession(); });
    } catch (...) {
        // Nothing else to release: the session ends with the connection.
    }
}

} // namespace zoq
