#include "ZoqCaptureEngine/LogindSleepMonitor.h"

#include "ZoqCaptureEngine/SdBus.h"
#include "ZoqCore/Spool/FileDescriptor.h"
#include "ZoqCore/Support/CoreError.h"

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zoq {
namespace {

constexpr const char* logindName = "org.freedesktop.login1";
constexpr const char* logindPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
/// A bus call that logind does not answer within this is given up; the
/// monitor then runs without the lock until logind comes back.
constexpr std::uint64_t callTimeoutMicroseconds = 5'000'000;

} // namespace

/// What the owner and the monitor's thread share. The thread keeps it alive,
/// so `stop` can return while a handler is still running and the thread
/// finishes on its own.
struct LogindSleepMonitor::Shared {
    std::mutex lock;
    std::condition_variable changed;
    SleepWakeHandlers handlers; // guarded by lock; emptied by stop
    bool stopping = false;      // guarded by lock
    bool inHandler = false;     // guarded by lock
    bool exited = false;        // guarded by lock
    FileDescriptor wake;        // eventfd the owner writes to end the thread's wait

    /// Runs one handler (chosen while holding the lock) outside the lock,
    /// unless the monitor is stopping.
    template <typename Pick, typename... Args>
    void deliver(Pick pick, Args&&... args) {
        std::function<void(Args...)> handler;
        {
            std::lock_guard guard(lock);
            if (stopping || !(handler = pick(handlers))) {
                return;
            }
            inHandler = true;
        }
        try {
            handler(std::forward<Args>(args)...);
        } catch (...) {
            // A handler's failure is its owner's to report; the monitor must
            // still release the lock and keep observing.
        }
        std::lock_guard guard(lock);
        inHandler = false;
        changed.notify_all();
    }

    bool shouldStop() {
        std::lock_guard guard(lock);
        return stopping;
    }
};

/// The thread's state: the connection and the lock, owned by the thread alone.
class LogindSleepMonitor::Session {
public:
    explicit Session(Shared& shared) : shared_(shared) {}

    void run(const std::string& address) {
        try {
            bus_ = sdbus::open(sdbus::Kind::system, address);
            sdbus::check(sd_bus_set_method_call_timeout(bus_.get(), callTimeoutMicroseconds),
                         "sd_bus_set_method_call_timeout");
            subscribe();
        } catch (const CoreError& error) {
            reportUnavailable(std::string("no system bus: ") + error.reason());
            return;
        }
        takeLock();
        try {
            while (!shared_.shouldStop()) {
                if (!sdbus::processThenWait(bus_.get(), shared_.wake.get())) {
                    reportUnavailable("the system bus closed the connection");
                    return;
                }
            }
        } catch (const CoreError& error) {
            reportUnavailable(std::string("system bus failed: ") + error.reason());
        }
    }

private:
    void subscribe() {
        sd_bus_slot* slot = nullptr;
        sdbus::check(sd_bus_match_signal(bus_.get(), &slot, logindName, logindPath, managerInterface,
                                         "PrepareForSleep", &Session::onPrepareForSleep, this),
                     "sd_bus_match_signal");
        sleepSlot_.reset(slot);
        const std::string ownerRule =
            std::string("type='signal',sender='org.freedesktop.DBus',"
                        "path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
                        "member='NameOwnerChanged',arg0='") +
            logindName + "'";
        sdbus::check(sd_bus_add_match(bus_.get(), &slot, ownerRule.c_str(), &Session::onOwnerChanged, this),
                     "sd_bus_add_match");
        ownerSlot_.reset(slot);
    }

    /// Takes a fresh delay lock, dropping any held one. A refusal (logind
    /// absent or unwilling) is reported once; observation goes on without it.
    void takeLock() {
        lock_.reset();
        sdbus::Error error;
        sd_bus_message* raw = nullptr;
        const int result =
            sd_bus_call_method(bus_.get(), logindName, logindPath, managerInterface, "Inhibit", error.get(),
                               &raw, "ssss", LogindSleepMonitor::inhibitWhat, LogindSleepMonitor::inhibitWho,
                               LogindSleepMonitor::inhibitWhy, LogindSleepMonitor::inhibitMode);
        const sdbus::Message reply(raw);
        if (result < 0) {
            reportUnavailable("logind refused a sleep delay lock: " + error.describe(result));
            return;
        }
        int fd = -1;
        if (sd_bus_message_read(reply.get(), "h", &fd) < 0) {
            reportUnavailable("logind answered Inhibit without a lock");
            return;
        }
        // The message owns `fd` and closes it with the reply; keep a copy.
        lock_ = FileDescriptor(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
        if (!lock_) {
            reportUnavailable("cannot keep the sleep delay lock: " + std::to_string(errno));
        }
    }

    static int onPrepareForSleep(sd_bus_message* message, void* context, sd_bus_error*) noexcept {
        auto& self = *static_cast<Session*>(context);
        int sleeping = 0;
        if (self.shared_.shouldStop() || sd_bus_message_read(message, "b", &sleeping) < 0) {
            return 0;
        }
        if (sleeping != 0) {
            self.shared_.deliver([](SleepWakeHandlers& handlers) { return handlers.willSleep; });
            // Only now may the machine sleep.
            self.lock_.reset();
        } else {
            self.takeLock();
            self.shared_.deliver([](SleepWakeHandlers& handlers) { return handlers.didWake; });
        }
        return 0;
    }

    static int onOwnerChanged(sd_bus_message* message, void* context, sd_bus_error*) noexcept {
        auto& self = *static_cast<Session*>(context);
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (self.shared_.shouldStop() ||
            sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) {
            return 0;
        }
        // A lock belongs to the logind instance that granted it.
        self.lock_.reset();
        if (newOwner != nullptr && *newOwner != '\0') {
            self.takeLock();
        }
        return 0;
    }

    void reportUnavailable(const std::string& reason) {
        if (reported_) {
            return;
        }
        reported_ = true;
        shared_.deliver([](SleepWakeHandlers& handlers) { return handlers.unavailable; }, reason);
    }

    Shared& shared_;
    sdbus::Bus bus_;
    sdbus::Slot sleepSlot_;
    sdbus::Slot ownerSlot_;
    FileDescriptor lock_;
    bool reported_ = false;
};

LogindSleepMonitor::LogindSleepMonitor(std::string busAddress)
    : busAddress_(std::move(busAddress)), shared_(std::make_shared<Shared>()) {}

LogindSleepMonitor::~LogindSleepMonitor() {
    stop();
}

void LogindSleepMonitor::start(SleepWakeHandlers handlers) {
    std::lock_guard starting(shared_->lock);
    if (thread_.joinable() || shared_->stopping) {
        throw CoreError::invalidState();
    }
    shared_->wake = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!shared_->wake) {
        throw CoreError::io("eventfd", errno);
    }
    shared_->handlers = std::move(handlers);
    thread_ = std::thread([shared = shared_, address = busAddress_] {
        {
            Session session(*shared);
            session.run(address);
        } // the lock and the connection close here, before the thread says it is done
        std::lock_guard guard(shared->lock);
        shared->exited = true;
        shared->changed.notify_all();
    });
}

void LogindSleepMonitor::stop() noexcept {
    std::unique_lock guard(shared_->lock);
    shared_->stopping = true;
    shared_->handlers = {};
    if (!thread_.joinable()) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(shared_->wake.get(), &one, sizeof one);
    if (thread_.get_id() != std::this_thread::get_id()) {
        shared_->changed.wait(guard, [&] { return shared_->exited || shared_->inHandler; });
    }
    const bool exited = shared_->exited;
    guard.unlock();
    if (exited) {
        thread_.join();
    } else {
        // A handler is running and may be waiting for this very thread; the
        // monitor's thread ends by itself once it returns.
        thread_.detach();
    }
}

} // namespace zoq
