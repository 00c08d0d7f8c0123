#include "tmgr.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "EnvVars.h"
#include "Log.h"
#include "NodeDir.h"
#include "OSWrap.h"

#if defined(__SANITIZE_ADDRESS__)
#define TMGR_LEAK_CHECK_ON_TERM 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TMGR_LEAK_CHECK_ON_TERM 1
#endif
#endif
#ifdef TMGR_LEAK_CHECK_ON_TERM
#include <fcntl.h>
#include <sanitizer/lsan_interface.h>
#include <signal.h>

#include <thread>
#endif

namespace {

#ifdef TMGR_LEAK_CHECK_ON_TERM
// A task has no orderly stop: the task manager ends it with SIGTERM. Built
// with a sanitizer, the task first looks for leaks, as an orderly exit would,
// and then dies of the signal as it would have. The look runs on a thread of
// its own: it is not safe inside a signal handler.
int gTermPipe[2] = {-1, -1};

void onTerm(int) {
    char const b = 0;
    ssize_t const n = ::write(gTermPipe[1], &b, 1);
    (void)n;
}

void watchTerm() {
    if (::pipe2(gTermPipe, O_CLOEXEC) != 0) return;
    std::thread([] {
        pthread_setname_np(pthread_self(), "tmgrLeakCheck");
        char b;
        while (::read(gTermPipe[0], &b, 1) < 0 && errno == EINTR) {
        }
        __lsan_do_recoverable_leak_check();
        ::signal(SIGTERM, SIG_DFL);
        ::kill(::getpid(), SIGTERM);
    }).detach();
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onTerm;
    ::sigaction(SIGTERM, &sa, nullptr);
}

void leakCheckOnTerm() {
    static std::once_flag once;
    std::call_once(once, watchTerm);
}
#else
void leakCheckOnTerm() {}
#endif

enum Step : unsigned {
    kSetMainThreadKey,
    kLibInit,
    kTaskPropInit,
    kInitDoneWait,
    kConfigDone,
    kWaitForCardReady,
    kStepCount
};

char const* const kStepNames[kStepCount] = {"setMainThreadKey", "libInit",    "taskPropInit",
                                            "initDoneWait",     "configDone", "waitForCardReady"};

// Handshake progress; each stage admits the next step only.
enum Stage { kFresh, kKeyCreated, kAttached, kInitDone, kConfigDoneStage };

enum ReadyMode { kReadyNow, kReadyWait, kReadyAfter };

char const kMarkerName[] = "card-ready";

struct TaskManager {
    std::mutex mutex;
    Stage stage = kFresh;
    bool propsDone = false;
    unsigned failMask = 0;
    unsigned short taskId = 100;
    ReadyMode readyMode = kReadyNow;
    double readyAfterSeconds = 0;
    bool cardReady = false;
    int wakeFd = -1;  // eventfd, readable once setCardReady() was called
    pthread_key_t key;
    bool keyCreated = false;

    TaskManager() {
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0) TA_LOG(4, "tmgr: eventfd failed (%s); only the marker file ends a card-ready wait",
                               std::strerror(errno));
        readEnvironment();
    }

    // Called with the mutex held.
    void readEnvironment() {
        taskId = static_cast<unsigned short>(platform::envInt64("TOPADAPTER_TASK_ID", 100, 1, 65535));
        failMask = 0;
        std::string list = platform::envString("TOPADAPTER_TMGR_FAIL", "");
        size_t pos = 0;
        while (pos <= list.size() && !list.empty()) {
            size_t comma = list.find(',', pos);
            std::string name = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            if (!name.empty()) {
                unsigned i = 0;
                while (i < kStepCount && name != kStepNames[i]) ++i;
                if (i < kStepCount)
                    failMask |= 1u << i;
                else
                    TA_LOG(4, "TOPADAPTER_TMGR_FAIL: unknown step '%s' ignored", name.c_str());
            }
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
        readyMode = kReadyNow;
        readyAfterSeconds = 0;
        std::string ready = platform::envString("TOPADAPTER_CARD_READY", "now");
        double seconds = 0;
        if (ready == "now" || ready == "1") {
            readyMode = kReadyNow;
        } else if (ready == "wait") {
            readyMode = kReadyWait;
        } else if (platform::parseDouble(ready, 0, 1e9, &seconds)) {
            readyMode = kReadyAfter;
            readyAfterSeconds = seconds;
        } else {
            TA_LOG(4, "TOPADAPTER_CARD_READY=%s ignored: expected now, wait or seconds; the card is ready at once",
                   ready.c_str());
        }
    }

    bool failing(Step s) const { return (failMask & (1u << s)) != 0; }
};

TaskManager& taskManager() {
    static TaskManager* t = new TaskManager;
    return *t;
}

int injected(Step s) {
    TA_LOG(4, "tmgr_%s: failing as configured by TOPADAPTER_TMGR_FAIL", kStepNames[s]);
    return -1;
}

int refused(Step s, char const* why) {
    TA_LOG(3, "tmgr_%s refused: %s", kStepNames[s], why);
    return -1;
}

bool markerPresent(std::string const& path) { return ::access(path.c_str(), F_OK) == 0; }

int64_t monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

extern "C" int tmgr_setMainThreadKey(void) {
    TaskManager& t = taskManager();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.failing(kSetMainThreadKey)) return injected(kSetMainThreadKey);
    if (t.stage != kFresh) return refused(kSetMainThreadKey, "the main thread key exists already");
    int rc = pthread_key_create(&t.key, nullptr);
    if (rc != 0) {
        TA_LOG(3, "tmgr_setMainThreadKey: pthread_key_create failed: %s", std::strerror(rc));
        return -1;
    }
    pthread_setspecific(t.key, &t);
    t.keyCreated = true;
    t.stage = kKeyCreated;
    return 0;
}

extern "C" int tmgr_libInit(void) {
    TaskManager& t = taskManager();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.failing(kLibInit)) return injected(kLibInit);
    if (t.stage == kFresh) return refused(kLibInit, "no main thread key (tmgr_setMainThreadKey first)");
    if (t.stage != kKeyCreated) return refused(kLibInit, "the task is attached already");
    t.stage = kAttached;
    leakCheckOnTerm();
    return 0;
}

extern "C" int tmgr_taskPropInit(TaskProperties* prop) {
    TaskManager& t = taskManager();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.failing(kTaskPropInit)) return injected(kTaskPropInit);
    if (t.stage < kAttached) return refused(kTaskPropInit, "the task is not attached (tmgr_libInit first)");
    if (!prop) return refused(kTaskPropInit, "no property record given");
    std::memset(prop, 0, sizeof *prop);
    prop->taskId = t.taskId;
    prop->pid = static_cast<int>(::getpid());
    pthread_getname_np(pthread_self(), prop->name, sizeof prop->name);
    errno = 0;
    int nice = ::getpriority(PRIO_PROCESS, 0);
    prop->niceValue = errno == 0 ? nice : 0;
    struct rlimit rl;
    if (::getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        prop->stackSize = static_cast<unsigned long>(rl.rlim_cur);
    t.propsDone = true;
    return 0;
}

extern "C" unsigned short tmgr_taskIdSelf(void) {
    TaskManager& t = taskManager();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.taskId;
}

extern "C" int tmgr_initDoneWait(unsigned short taskId) {
    TaskManager& t = taskManager();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.failing(kInitDoneWait)) return injected(kInitDoneWait);
    if (t.stage < kAttached) return refused(kInitDoneWait, "the task is not attached (tmgr_libInit first)");
    if (!t.propsDone) return refused(kInitDoneWait, "task properties not initialised (tmgr_taskPropInit first)");
    if (t.stage != kAttached) return refused(kInitDoneWait, "initialisation was reported done already");
    if (taskId != t.taskId) {
        TA_LOG(3, "tmgr_initDoneWait refused: task id %u is not this task (%u)", taskId, t.taskId);
        return -1;
    }
    t.stage = kInitDone;
    return 0;
}

extern "C" int tmgr_configDone(unsigned short taskId) {
    TaskManager& t = taskManager();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.failing(kConfigDone)) return injected(kConfigDone);
    if (t.stage < kInitDone) return refused(kConfigDone, "initialisation not reported done (tmgr_initDoneWait first)");
    if (t.stage != kInitDone) return refused(kConfigDone, "configuration was reported done already");
    if (taskId != t.taskId) {
        TA_LOG(3, "tmgr_configDone refused: task id %u is not this task (%u)", taskId, t.taskId);
        return -1;
    }
    t.stage = kConfigDoneStage;
    return 0;
}

extern "C" int tmgr_waitForCardReady(void) {
    TaskManager& t = taskManager();
    ReadyMode mode;
    double afterSeconds;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        if (t.failing(kWaitForCardReady)) return injected(kWaitForCardReady);
        if (t.stage != kConfigDoneStage)
            return refused(kWaitForCardReady, "configuration not reported done (tmgr_configDone first)");
        if (t.readyMode == kReadyNow || t.cardReady) return 0;
        mode = t.readyMode;
        afterSeconds = t.readyAfterSeconds;
    }

    std::string const& dir = platform::nodeDirectory();
    std::string marker = tmgr::cardReadyMarkerPath();
    // The watch is set up before the marker is tested, so a marker created in
    // between still wakes the wait.
    int ino = -1;
    if (platform::nodeDirectoryOk()) {
        ino = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (ino >= 0 && ::inotify_add_watch(ino, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) < 0) {
            ::close(ino);
            ino = -1;
        }
        if (ino < 0)
            TA_LOG(4, "tmgr_waitForCardReady: cannot watch %s (%s); checking for %s every 200 ms", dir.c_str(),
                   std::strerror(errno), kMarkerName);
    } else {
        TA_LOG(4, "tmgr_waitForCardReady: node directory %s unusable; only an in-process report ends the wait",
               dir.c_str());
    }

    int64_t deadline = INT64_MAX;
    if (mode == kReadyAfter) {
        double realMs = afterSeconds * 1000.0 / OSWrap::timeScale();
        deadline = monotonicMs() + static_cast<int64_t>(std::ceil(realMs));
    }
    char const* reason = nullptr;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(t.mutex);
            if (t.cardReady) reason = "reported in process";
        }
        if (!reason && platform::nodeDirectoryOk() && markerPresent(marker)) reason = "marker file";
        int64_t now = monotonicMs();
        if (!reason && now >= deadline) reason = "delay elapsed";
        if (reason) break;
        int timeout = -1;
        if (deadline != INT64_MAX) timeout = static_cast<int>(std::min<int64_t>(deadline - now, 60000));
        if (ino < 0 && platform::nodeDirectoryOk() && (timeout < 0 || timeout > 200)) timeout = 200;
        struct pollfd fds[2];
        nfds_t n = 0;
        if (t.wakeFd >= 0) fds[n++] = {t.wakeFd, POLLIN, 0};
        if (ino >= 0) fds[n++] = {ino, POLLIN, 0};
        int rc = ::poll(fds, n, timeout);
        if (rc < 0 && errno != EINTR) {
            TA_LOG(3, "tmgr_waitForCardReady: poll failed: %s", std::strerror(errno));
            if (ino >= 0) ::close(ino);
            return -1;
        }
        if (ino >= 0) {
            char buf[4096];
            while (::read(ino, buf, sizeof buf) > 0) {
            }
        }
    }
    if (ino >= 0) ::close(ino);
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        t.cardReady = true;
    }
    TA_LOG(5, "tmgr: card ready (%s)", reason);
    return 0;
}

namespace tmgr {

void reset() {
    TaskManager& t = taskManager();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.keyCreated) pthread_key_delete(t.key);
    t.keyCreated = false;
    t.stage = kFresh;
    t.propsDone = false;
    t.cardReady = false;
    if (t.wakeFd >= 0) {
        uint64_t v;
        while (::read(t.wakeFd, &v, sizeof v) > 0) {
        }
    }
    t.readEnvironment();
}

void setCardReady() {
    TaskManager& t = taskManager();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.cardReady = true;
    if (t.wakeFd >= 0) {
        uint64_t one = 1;
        if (::write(t.wakeFd, &one, sizeof one) < 0 && errno != EAGAIN)
            TA_LOG(4, "tmgr::setCardReady: eventfd write failed: %s", std::strerror(errno));
    }
}

std::string cardReadyMarkerPath() { return platform::nodeDirectory() + "/" + kMarkerName; }

}  // namespace tmgr
