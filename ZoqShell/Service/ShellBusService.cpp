#include "ZoqShell/Service/ShellBusService.h"

#include "ZoqCaptureEngine/SdBus.h"
#include "ZoqCore/Spool/FileDescriptor.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Service/ShellBusError.h"
#include "ZoqShell/Service/ShellBusInterface.h"
#include "ZoqShell/Service/ShellBusProperties.h"
#include "ZoqShell/Service/ShellStatus.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/Transport/PortalOrigin.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zoq {
namespace {

enum class Method : unsigned char {
    startRecording,
    stopRecording,
    togglePause,
    pause,
    resume,
    uploadNow,
    pair,
    pairWithPortal,
    applyPortalURL,
    show,
};

struct MethodEntry {
    const char* name;
    Method method;
    /// What the reply carries: "", "s" (a message) or "bs" (applied, message).
    const char* output;
};

constexpr MethodEntry methodTable[] = {
    {"StartRecording", Method::startRecording, ""},
    {"StopRecording", Method::stopRecording, ""},
    {"TogglePause", Method::togglePause, ""},
    {"Pause", Method::pause, ""},
    {"Resume", Method::resume, ""},
    {"UploadNow", Method::uploadNow, ""},
    {"Pair", Method::pair, "s"},
    {"PairWithPortal", Method::pairWithPortal, "s"},
    {"ApplyPortalURL", Method::applyPortalURL, "bs"},
    {"Show", Method::show, ""},
};

/// The main thread's answer to one call.
struct Outcome {
    /// Empty for success.
    std::string errorName;
    /// The error's message, or the text the reply carries.
    std::string message;
    bool flag = false;

    static Outcome success(std::string text = {}, bool applied = false) {
        return {{}, std::move(text), applied};
    }
    static Outcome failure(const char* name, std::string text) { return {name, std::move(text), false}; }
};

constexpr const char* startingMessage = "zoq is still starting; try again in a moment";
constexpr const char* notRunningMessage = "The recorder is not running";
constexpr const char* awaitingSoundServerMessage =
    "The recorder is waiting for the sound server; pause or resume once it is back";
constexpr const char* notPairedMessage = "This device is not paired; pair it first";

} // namespace

/// What the main thread and the bus thread share. Both keep it alive.
struct ShellBusService::Shared {
    std::mutex lock;
    ShellStatus status;                                 // guarded by lock
    bool statusChanged = false;                         // guarded by lock
    std::deque<std::pair<std::uint64_t, Outcome>> done; // guarded by lock
    bool stopping = false;                              // guarded by lock
    FileDescriptor wake; // eventfd: the bus thread's wait ends when it is written

    void poke() noexcept {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake.get(), &one, sizeof one);
    }
    void publish(ShellStatus fresh) {
        {
            const std::lock_guard guard(lock);
            if (fresh == status) {
                return;
            }
            status = std::move(fresh);
            statusChanged = true;
        }
        poke();
    }
    void answer(std::uint64_t call, Outcome outcome) {
        {
            const std::lock_guard guard(lock);
            done.emplace_back(call, std::move(outcome));
        }
        poke();
    }
    bool shouldStop() {
        const std::lock_guard guard(lock);
        return stopping;
    }
};

/// The main thread's half: it runs the calls against the model.
struct ShellBusService::MainSide {
    std::shared_ptr<Shared> shared;
    std::function<void()> show;
    ShellModel* model = nullptr;
    /// Calls answered when the model's work ends (UploadNow, Pair).
    std::set<std::uint64_t> waiting;

    /// `argument`: the code of Pair, the address of ApplyPortalURL and
    /// PairWithPortal; `code`: the code of PairWithPortal.
    void handle(Method method, const std::string& argument, const std::string& code, std::uint64_t call) {
        if (method == Method::show) {
            if (show) {
                show();
            }
            shared->answer(call, Outcome::success());
            return;
        }
        if (model == nullptr || !model->ready()) {
            shared->answer(call, Outcome::failure(shellbus::error::notReady, startingMessage));
            return;
        }
        try {
            run(method, argument, code, call);
        } catch (const std::exception& error) {
            waiting.erase(call);
            shared->answer(call, Outcome::failure(shellbus::error::failed, error.what()));
        }
    }

    void run(Method method, const std::string& argument, const std::string& code, std::uint64_t call) {
        ShellModel& shell = *model;
        RecorderController& recorder = shell.recorder();
        const bool running = recorder.isRunning();
        switch (method) {
        case Method::startRecording:
            if (!running) {
                shell.toggleRecorder(); // without a device it says so in the pairing message
            }
            if (!recorder.isRunning()) {
                shared->answer(call, Outcome::failure(shellbus::error::notPaired, ShellModel::pairFirst));
                return;
            }
            // Answered once the engine has started and said whether it is
            // armed or paused, so the status a client reads next shows it.
            waiting.insert(call);
            recorder.afterCommands(whenDone(
                call, [](MainSide& side, std::uint64_t id) { side.finish(id, Outcome::success()); }));
            return;
        case Method::stopRecording:
            if (running) {
                shell.toggleRecorder();
            }
            shared->answer(call, Outcome::success());
            return;
        case Method::togglePause:
        case Method::pause:
        case Method::resume:
            if (!running) {
                shared->answer(call, Outcome::failure(shellbus::error::notRunning, notRunningMessage));
                return;
            }
            if (!recorder.hasEngine()) {
                shared->answer(call,
                               Outcome::failure(shellbus::error::notRunning, awaitingSoundServerMessage));
                return;
            }
            // Answered once the recorder has applied it (the engine applies
            // commands in the order they came, Pause and Resume changing
            // nothing when it is there already), so the properties a client
            // reads after the reply show its effect.
            waiting.insert(call);
            {
                auto applied = whenDone(
                    call, [](MainSide& side, std::uint64_t id) { side.finish(id, Outcome::success()); });
                if (method == Method::pause) {
                    shell.pause(std::move(applied));
                } else if (method == Method::resume) {
                    shell.resume(std::move(applied));
                } else {
                    shell.togglePause(std::move(applied));
                }
            }
            return;
        case Method::uploadNow:
            if (!shell.paired()) {
                shared->answer(call, Outcome::failure(shellbus::error::notPaired, notPairedMessage));
                return;
            }
            waiting.insert(call);
            shell.uploadNow(whenDone(
                call, [](MainSide& side, std::uint64_t id) { side.finish(id, Outcome::success()); }));
            return;
        case Method::pair:
            waiting.insert(call);
            shell.pair(argument, pairingDone(call));
            return;
        case Method::pairWithPortal:
            waiting.insert(call);
            shell.pairWithPortal(argument, code, pairingDone(call));
            return;
        case Method::applyPortalURL:
            if (shell.applyPortalURL(argument)) {
                shared->answer(call, Outcome::success(shell.portalChanged()
                                                          ? std::string(ShellModel::portalChangedMessage)
                                                          : PortalOrigin::withoutUserInfo(
                                                                shell.settings().apiBaseURLString()),
                                                      true));
            } else {
                shared->answer(call, Outcome::success(shell.pairingMessage().value_or(""), false));
            }
            return;
        case Method::show:
            break;
        }
    }

    /// A completion for the model that finds this object again, if it still exists.
    std::function<void()> whenDone(std::uint64_t call, void (*then)(MainSide&, std::uint64_t));
    std::weak_ptr<MainSide> self;

    void finish(std::uint64_t call, Outcome outcome) {
        if (waiting.erase(call) == 0) {
            return; // answered already
        }
        shared->answer(call, std::move(outcome));
    }

    /// A pairing's completion: the call is answered with that pairing's own
    /// outcome, whatever other calls did to the shared pairing message
    /// meanwhile.
    ShellModel::PairingDone pairingDone(std::uint64_t call) {
        return [weak = self, call](const ShellModel::PairingOutcome& outcome) {
            const auto side = weak.lock();
            if (!side) {
                return;
            }
            using Kind = ShellModel::PairingOutcome::Kind;
            switch (outcome.kind) {
            case Kind::paired:
                side->finish(call, Outcome::success(outcome.message));
                return;
            case Kind::portalRefused:
                side->finish(call, Outcome::failure(shellbus::error::invalidPortalURL, outcome.message));
                return;
            case Kind::failed:
                side->finish(call, Outcome::failure(shellbus::error::pairingFailed, outcome.message));
                return;
            }
        };
    }

    /// Main thread, after every change of the model.
    void changed() {
        if (model == nullptr) {
            return;
        }
        try {
            shared->publish(ShellStatus::of(*model));
        } catch (const std::exception&) {
            // The settings file could not be read this time: the properties
            // keep their values until the next change. An observer must not
            // throw into the model.
        }
    }
};

std::function<void()> ShellBusService::MainSide::whenDone(std::uint64_t call,
                                                          void (*then)(MainSide&, std::uint64_t)) {
    return [weak = self, call, then] {
        if (const auto alive = weak.lock()) {
            then(*alive, call);
        }
    };
}

/// The bus thread's half: the connection, the exported object and the calls
/// waiting for their answer. Owned by the bus thread alone.
class ShellBusService::Session {
public:
    Session(std::shared_ptr<Shared> shared, std::weak_ptr<MainSide> main, MainExecutor& executor)
        : shared_(std::move(shared)), main_(std::move(main)), executor_(executor) {}

    /// Connects, exports the object and asks for the name; whether it was granted.
    bool claim(const std::string& address) {
        try {
            bus_ = sdbus::open(sdbus::Kind::user, address);
        } catch (const CoreError& error) {
            throw ShellBusError({}, "no session bus: " + error.reason());
        }
        sd_bus_slot* slot = nullptr;
        check(sd_bus_add_object_vtable(bus_.get(), &slot, shellbus::objectPath, shellbus::interfaceName,
                                       vtable(), this),
              "cannot export the zoq object");
        object_.reset(slot);
        // Not queued: a second zoq learns at once that one runs already.
        const int result = sd_bus_request_name(bus_.get(), shellbus::busName, 0);
        if (result == -EEXIST) {
            return false;
        }
        check(result, "cannot claim the name org.zoq.Zoq");
        return true;
    }

    void run() {
        try {
            while (!shared_->shouldStop()) {
                if (!sdbus::processThenWait(bus_.get(), shared_->wake.get())) {
                    return; // the bus went away
                }
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t drained = ::read(shared_->wake.get(), &count, sizeof count);
                flush();
            }
        } catch (const CoreError&) {
            // The bus failed: the service stops answering, the model goes on.
        }
    }

private:
    static void check(int result, const char* what) {
        if (result < 0) {
            throw ShellBusError({}, std::string(what) + ": " + std::strerror(-result));
        }
    }

    static const sd_bus_vtable* vtable() {
        static const std::vector<sd_bus_vtable> table = [] {
            std::vector<sd_bus_vtable> entries{SD_BUS_VTABLE_START(0)};
            for (const shellbus::Property& property : shellbus::properties()) {
                entries.push_back(SD_BUS_PROPERTY(property.name, property.signature, &Session::onProperty, 0,
                                                  SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE));
            }
            const int flags = SD_BUS_VTABLE_UNPRIVILEGED;
            entries.insert(
                entries.end(),
                {
                    SD_BUS_METHOD("StartRecording", "", "", &Session::onMethod, flags),
                    SD_BUS_METHOD("StopRecording", "", "", &Session::onMethod, flags),
                    SD_BUS_METHOD("TogglePause", "", "", &Session::onMethod, flags),
                    SD_BUS_METHOD("Pause", "", "", &Session::onMethod, flags),
                    SD_BUS_METHOD("Resume", "", "", &Session::onMethod, flags),
                    SD_BUS_METHOD("UploadNow", "", "", &Session::onMethod, flags),
                    SD_BUS_METHOD_WITH_NAMES("Pair", "s", SD_BUS_PARAM(code), "s", SD_BUS_PARAM(message),
                                             &Session::onMethod, flags),
                    SD_BUS_METHOD_WITH_NAMES("PairWithPortal", "ss", SD_BUS_PARAM(url) SD_BUS_PARAM(code),
                                             "s", SD_BUS_PARAM(message), &Session::onMethod, flags),
                    SD_BUS_METHOD_WITH_NAMES("ApplyPortalURL", "s", SD_BUS_PARAM(url), "bs",
                                             SD_BUS_PARAM(applied) SD_BUS_PARAM(message), &Session::onMethod,
                                             flags),
                    SD_BUS_METHOD("Show", "", "", &Session::onMethod, flags),
                    SD_BUS_VTABLE_END,
                });
            return entries;
        }();
        return table.data();
    }

    static int onProperty(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply,
                          void* context, sd_bus_error*) noexcept {
        auto& self = *static_cast<Session*>(context);
        const shellbus::Property* property = shellbus::propertyNamed(name);
        if (property == nullptr) {
            return -ENOENT;
        }
        try {
            const std::lock_guard guard(self.shared_->lock);
            return property->append(reply, self.shared_->status);
        } catch (const std::bad_alloc&) {
            return -ENOMEM;
        }
    }

    static int onMethod(sd_bus_message* message, void* context, sd_bus_error* error) noexcept {
        auto& self = *static_cast<Session*>(context);
        const char* member = sd_bus_message_get_member(message);
        const auto* entry =
            std::find_if(std::begin(methodTable), std::end(methodTable), [&](const MethodEntry& candidate) {
                return member != nullptr && std::strcmp(candidate.name, member) == 0;
            });
        if (entry == std::end(methodTable)) {
            return sd_bus_error_set(error, SD_BUS_ERROR_UNKNOWN_METHOD, "no such method");
        }
        try {
            std::string argument;
            std::string code;
            if (entry->method == Method::pairWithPortal) {
                const char* url = nullptr;
                const char* text = nullptr;
                if (const int result = sd_bus_message_read(message, "ss", &url, &text); result < 0) {
                    return result;
                }
                argument = url;
                code = text;
                if (code.empty()) {
                    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "A pairing code is required");
                }
            } else if (entry->method == Method::pair || entry->method == Method::applyPortalURL) {
                const char* text = nullptr;
                if (const int result = sd_bus_message_read(message, "s", &text); result < 0) {
                    return result;
                }
                argument = text;
                if (entry->method == Method::pair && argument.empty()) {
                    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "A pairing code is required");
                }
            }
            const std::uint64_t call = ++self.lastCall_;
            self.calls_.emplace(call, Pending{sdbus::Message(sd_bus_message_ref(message)), entry});
            self.executor_.post([main = self.main_, method = entry->method, argument, code, call] {
                if (const auto side = main.lock()) {
                    side->handle(method, argument, code, call);
                }
            });
            return 1; // answered later, from `flush`
        } catch (const std::bad_alloc&) {
            return -ENOMEM;
        }
    }

    /// Emits what changed, then sends the answers that came back, so a
    /// client that reads properties after a reply sees the state behind it.
    void flush() {
        std::optional<ShellStatus> fresh;
        std::deque<std::pair<std::uint64_t, Outcome>> answers;
        {
            const std::lock_guard guard(shared_->lock);
            if (shared_->statusChanged) {
                fresh = shared_->status;
                shared_->statusChanged = false;
            }
            answers.swap(shared_->done);
        }
        if (fresh) {
            std::vector<const char*> names = shellbus::changedProperties(emitted_, *fresh);
            emitted_ = std::move(*fresh);
            if (!names.empty()) {
                names.push_back(nullptr);
                (void)sd_bus_emit_properties_changed_strv(bus_.get(), shellbus::objectPath,
                                                          shellbus::interfaceName,
                                                          const_cast<char**>(names.data()));
            }
        }
        for (auto& [call, outcome] : answers) {
            const auto pending = calls_.find(call);
            if (pending != calls_.end()) {
                reply(pending->second, outcome);
                calls_.erase(pending);
            }
        }
    }

    struct Pending {
        sdbus::Message call;
        const MethodEntry* entry;
    };

    // A caller that went away makes the reply fail; nothing else is affected.
    static void reply(const Pending& pending, const Outcome& outcome) {
        sd_bus_message* call = pending.call.get();
        if (!outcome.errorName.empty()) {
            (void)sd_bus_reply_method_errorf(call, outcome.errorName.c_str(), "%s", outcome.message.c_str());
        } else if (std::strcmp(pending.entry->output, "s") == 0) {
            (void)sd_bus_reply_method_return(call, "s", outcome.message.c_str());
        } else if (std::strcmp(pending.entry->output, "bs") == 0) {
            (void)sd_bus_reply_method_return(call, "bs", outcome.flag ? 1 : 0, outcome.message.c_str());
        } else {
            (void)sd_bus_reply_method_return(call, "");
        }
    }

    std::shared_ptr<Shared> shared_;
    std::weak_ptr<MainSide> main_;
    MainExecutor& executor_;
    sdbus::Bus bus_;
    sdbus::Slot object_;
    std::map<std::uint64_t, Pending> calls_;
    std::uint64_t lastCall_ = 0;
    ShellStatus emitted_;
};

ShellBusService::ShellBusService(MainExecutor& executor, std::function<void()> show, std::string address)
    : shared_(std::make_shared<Shared>()), main_(std::make_shared<MainSide>()) {
    shared_->wake = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!shared_->wake) {
        throw ShellBusError({}, std::string("eventfd: ") + std::strerror(errno));
    }
    main_->shared = shared_;
    main_->show = std::move(show);
    main_->self = main_;
    std::promise<bool> claimed;
    std::future<bool> claim = claimed.get_future();
    thread_ = std::thread([shared = shared_, main = std::weak_ptr<MainSide>(main_), &executor,
                           address = std::move(address), claimed = std::move(claimed)]() mutable {
        Session session(shared, main, executor);
        try {
            const bool owned = session.claim(address);
            claimed.set_value(owned);
            if (!owned) {
                return;
            }
        } catch (...) {
            claimed.set_exception(std::current_exception());
            return;
        }
        session.run();
    });
    try {
        ownsName_ = claim.get();
    } catch (...) {
        thread_.join();
        throw;
    }
}

ShellBusService::~ShellBusService() {
    {
        const std::lock_guard guard(shared_->lock);
        shared_->stopping = true;
    }
    shared_->poke();
    thread_.join();
    detach();
}

void ShellBusService::attach(ShellModel& model) {
    main_->model = &model;
    model.onChange([weak = std::weak_ptr<MainSide>(main_)] {
        if (const auto side = weak.lock()) {
            side->changed();
        }
    });
    main_->changed();
}

void ShellBusService::detach() {
    main_->model = nullptr;
    for (const std::uint64_t call : std::exchange(main_->waiting, {})) {
        shared_->answer(call, Outcome::failure(shellbus::error::notReady, "zoq is shutting down"));
    }
    shared_->publish(ShellStatus{});
}

} // namespace zoq
