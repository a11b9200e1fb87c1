// The event loop: epoll readiness, the timer heap, signals.
//
// Descriptors live in a table indexed by number. Each registration gets a
// fresh generation; the epoll event carries (generation, descriptor), so an
// event queued for a registration that has since been removed, or replaced
// by a new one on the same number, is one compare away from being skipped.
//
// Timers live in an array-backed binary min-heap keyed by (deadline, arming
// sequence). Each entry points at its nv::Timer and the Timer knows its
// index, so cancel is O(log n) and allocates nothing.
//
// SIGTERM and SIGINT are turned into shutdown() through a self-pipe: the
// signal handler only writes a byte, the loop reads it on its normal path.
#include "nv/ThinRunner.h"

#include "nv/Timer.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace nv {

namespace {

ThinRunner* currentRunner = nullptr;
// Write end of the current runner's self-pipe, for the signal handler.
volatile sig_atomic_t signalPipeWrite = -1;

void onStopSignal(int) {
    int saved = errno;
    int fd = signalPipeWrite;
    if (fd >= 0) {
        char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost.
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

uint64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Generation 0 never names a registration: it marks the self-pipe.
constexpr uint32_t kSignalGeneration = 0;

uint64_t packData(uint32_t generation, int fd) {
    return (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(fd);
}

uint32_t epollMask(unsigned events) {
    uint32_t mask = 0;
    if (events & ThinRunner::kReadable) mask |= EPOLLIN;
    if (events & ThinRunner::kWritable) mask |= EPOLLOUT;
    return mask;
}

// Errors and hang-ups count as both, so that a handler meets them when it
// next reads or writes.
unsigned readyEvents(uint32_t mask) {
    unsigned events = 0;
    if (mask & (EPOLLIN | EPOLLPRI | EPOLLRDHUP)) events |= ThinRunner::kReadable;
    if (mask & EPOLLOUT) events |= ThinRunner::kWritable;
    if (mask & (EPOLLERR | EPOLLHUP)) events |= ThinRunner::kReadable | ThinRunner::kWritable;
    return events;
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        // An unlimited hard limit may exceed what the kernel allows (EPERM);
        // the old soft limit then simply stays.
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

struct ThinRunner::Impl {
    struct Slot {
        unsigned interest = 0;
        uint32_t generation = 0;  // 0: not watched
        bool inEpoll = false;     // interest 0 is kept out of epoll
        SocketHandler handler;
    };

    struct HeapEntry {
        uint64_t deadline;  // ms on the runner's clock
        uint64_t sequence;  // arming order, for ties
        Timer* timer;
    };

    int epollFd = -1;
    int pipeRead = -1;
    int pipeWrite = -1;
    struct sigaction oldTerm {};
    struct sigaction oldInt {};
    bool signalsInstalled = false;

    std::vector<Slot> slots;
    uint32_t nextGeneration = 1;

    std::vector<HeapEntry> heap;
    uint64_t nextSequence = 0;

    Clock testClock;
    uint64_t now = 0;
    bool inPass = false;
    bool stopping = false;

    std::array<epoll_event, 256> events{};

    uint64_t readClock() const { return testClock ? testClock() : monotonicMs(); }

    uint32_t newGeneration() {
        uint32_t generation = nextGeneration++;
        if (nextGeneration == kSignalGeneration) nextGeneration = 1;
        return generation;
    }

    Slot* watchedSlot(int fd) {
        if (fd < 0 || static_cast<size_t>(fd) >= slots.size()) return nullptr;
        Slot& slot = slots[static_cast<size_t>(fd)];
        return slot.generation != 0 ? &slot : nullptr;
    }

    // Brings epoll in line with the slot's interest.
    bool applyInterest(int fd, Slot& slot, unsigned interest) {
        epoll_event event{};
        event.events = epollMask(interest);
        event.data.u64 = packData(slot.generation, fd);
        if (interest == 0) {
            if (slot.inEpoll && epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr) != 0) return false;
            slot.inEpoll = false;
        } else {
            int op = slot.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
            if (epoll_ctl(epollFd, op, fd, &event) != 0) return false;
            slot.inEpoll = true;
        }
        slot.interest = interest;
        return true;
    }

    static bool before(const HeapEntry& a, const HeapEntry& b) {
        return a.deadline != b.deadline ? a.deadline < b.deadline : a.sequence < b.sequence;
    }

    void place(size_t index, const HeapEntry& entry) {
        heap[index] = entry;
        ThinRunner::heapIndex(*entry.timer) = static_cast<uint32_t>(index);
    }

    void siftUp(size_t index) {
        HeapEntry entry = heap[index];
        while (index > 0) {
            size_t parent = (index - 1) / 2;
            if (!before(entry, heap[parent])) break;
            place(index, heap[parent]);
            index = parent;
        }
        place(index, entry);
    }

    void siftDown(size_t index) {
        HeapEntry entry = heap[index];
        size_t size = heap.size();
        for (;;) {
            size_t child = 2 * index + 1;
            if (child >= size) break;
            if (child + 1 < size && before(heap[child + 1], heap[child])) ++child;
            if (!before(heap[child], entry)) break;
            place(index, heap[child]);
            index = child;
        }
        place(index, entry);
    }

    // Takes the entry at `index` out; the timer is no longer pending.
    void removeAt(size_t index) {
        ThinRunner::heapIndex(*heap[index].timer) = Timer::kNone;
        size_t last = heap.size() - 1;
        if (index != last) {
            HeapEntry moved = heap[last];
            heap.pop_back();
            place(index, moved);
            if (index > 0 && before(moved, heap[(index - 1) / 2])) {
                siftUp(index);
            } else {
                siftDown(index);
            }
        } else {
            heap.pop_back();
        }
    }
};

uint32_t& ThinRunner::heapIndex(Timer& timer) {
    return timer.index_;
}

ThinRunner::ThinRunner() : impl_(std::make_unique<Impl>()) {
    raiseDescriptorLimit();
    std::signal(SIGPIPE, SIG_IGN);

    impl_->epollFd = epoll_create1(EPOLL_CLOEXEC);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        impl_->pipeRead = fds[0];
        impl_->pipeWrite = fds[1];
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = packData(kSignalGeneration, fds[0]);
        epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, fds[0], &event);

        signalPipeWrite = fds[1];
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, &impl_->oldTerm);
        sigaction(SIGINT, &action, &impl_->oldInt);
        impl_->signalsInstalled = true;
    }
    impl_->now = impl_->readClock();
    currentRunner = this;
}

ThinRunner::~ThinRunner() {
    // Timers may outlive the runner: leave them empty, not dangling. Their
    // handlers are destroyed only after no timer is touched any more, since
    // what they hold may own (and destroy) timers.
    std::vector<Timer::Handler> handlers;
    handlers.reserve(impl_->heap.size());
    for (Impl::HeapEntry& entry : impl_->heap) {
        entry.timer->index_ = Timer::kNone;
        handlers.push_back(std::move(entry.timer->handler_));
        entry.timer->handler_ = nullptr;
    }
    impl_->heap.clear();
    handlers.clear();
    // Likewise the socket handlers: moved out first, so that a destructor
    // they run may still call removeSocket.
    std::vector<Impl::Slot> slots = std::move(impl_->slots);
    impl_->slots.clear();
    slots.clear();

    if (impl_->signalsInstalled) {
        sigaction(SIGTERM, &impl_->oldTerm, nullptr);
        sigaction(SIGINT, &impl_->oldInt, nullptr);
        if (signalPipeWrite == impl_->pipeWrite) signalPipeWrite = -1;
    }
    if (impl_->pipeRead >= 0) close(impl_->pipeRead);
    if (impl_->pipeWrite >= 0) close(impl_->pipeWrite);
    if (impl_->epollFd >= 0) close(impl_->epollFd);
    if (currentRunner == this) currentRunner = nullptr;
}

bool ThinRunner::addSocket(int fd, unsigned events, SocketHandler handler) {
    if (fd < 0 || !handler) {
        errno = fd < 0 ? EBADF : EINVAL;
        return false;
    }
    if (impl_->watchedSlot(fd)) {
        errno = EEXIST;
        return false;
    }
    if (static_cast<size_t>(fd) >= impl_->slots.size()) impl_->slots.resize(static_cast<size_t>(fd) + 1);
    Impl::Slot& slot = impl_->slots[static_cast<size_t>(fd)];
    slot.generation = impl_->newGeneration();
    slot.inEpoll = false;
    if (!impl_->applyInterest(fd, slot, events & (kReadable | kWritable))) {
        int saved = errno;
        slot = Impl::Slot{};
        errno = saved;
        return false;
    }
    slot.handler = std::move(handler);
    return true;
}

bool ThinRunner::changeSocket(int fd, unsigned events) {
    Impl::Slot* slot = impl_->watchedSlot(fd);
    if (!slot) {
        errno = ENOENT;
        return false;
    }
    return impl_->applyInterest(fd, *slot, events & (kReadable | kWritable));
}

void ThinRunner::removeSocket(int fd) {
    Impl::Slot* slot = impl_->watchedSlot(fd);
    if (!slot) return;
    // Fails harmlessly (EBADF) when the descriptor was closed first.
    if (slot->inEpoll) epoll_ctl(impl_->epollFd, EPOLL_CTL_DEL, fd, nullptr);
    // The handler goes last: destroying it may run arbitrary destructors.
    SocketHandler handler = std::move(slot->handler);
    *slot = Impl::Slot{};
}

bool ThinRunner::isWatched(int fd) const {
    return impl_->watchedSlot(fd) != nullptr;
}

void ThinRunner::run() {
    while (!impl_->stopping) runOnce(-1);
    // So that the runner can be run again.
    impl_->stopping = false;
}

void ThinRunner::shutdown() {
    impl_->stopping = true;
}

bool ThinRunner::stopping() const {
    return impl_->stopping;
}

int ThinRunner::sleepTime() {
    if (impl_->heap.empty()) return -1;
    uint64_t deadline = impl_->heap.front().deadline;
    uint64_t now = impl_->readClock();
    if (deadline <= now) return 0;
    uint64_t wait = deadline - now;
    return wait > INT32_MAX ? INT32_MAX : static_cast<int>(wait);
}

void ThinRunner::runOnce(int maxWaitMs) {
    Impl& impl = *impl_;
    // Timers armed from here on, 0 ticks included, wait for a later pass.
    uint64_t sequenceLimit = impl.nextSequence;

    int wait = maxWaitMs;
    int untilTimer = sleepTime();
    if (untilTimer >= 0 && (wait < 0 || untilTimer < wait)) wait = untilTimer;
    if (impl.testClock || impl.stopping) wait = 0;

    int count = epoll_wait(impl.epollFd, impl.events.data(), static_cast<int>(impl.events.size()), wait);
    if (count < 0) count = 0;  // EINTR: a signal's byte is in the pipe
    impl.now = impl.readClock();
    impl.inPass = true;

    for (int i = 0; i < count; ++i) {
        uint64_t data = impl.events[static_cast<size_t>(i)].data.u64;
        uint32_t generation = static_cast<uint32_t>(data >> 32);
        int fd = static_cast<int>(static_cast<uint32_t>(data));
        if (generation == kSignalGeneration) {
            char buffer[64];
            while (read(impl.pipeRead, buffer, sizeof buffer) > 0) {
            }
            shutdown();
            continue;
        }
        Impl::Slot* slot = impl.watchedSlot(fd);
        // Removed earlier in this pass, or the number now belongs to a newer
        // registration: the event is not for anyone who is listening.
        if (!slot || slot->generation != generation) continue;
        unsigned ready = readyEvents(impl.events[static_cast<size_t>(i)].events) & slot->interest;
        if (ready == 0) continue;
        // Moved out, so the handler may remove its descriptor and destroy
        // whatever owns it; the slot is touched again only if it still holds
        // the same registration.
        SocketHandler handler = std::move(slot->handler);
        slot->handler = nullptr;
        handler(fd, ready);
        slot = impl.watchedSlot(fd);
        if (slot && slot->generation == generation && !slot->handler) slot->handler = std::move(handler);
    }

    // Due timers, in (deadline, sequence) order. Any timer armed during this
    // pass sorts after every due one collected here, so stopping at the
    // first entry at or past the limit leaves exactly the new ones.
    while (!impl.heap.empty()) {
        const Impl::HeapEntry& top = impl.heap.front();
        if (top.deadline > impl.now || top.sequence >= sequenceLimit) break;
        Timer& timer = *top.timer;
        impl.removeAt(0);
        Timer::Handler handler = std::move(timer.handler_);
        timer.handler_ = nullptr;
        // The timer and its owner may be gone once this returns.
        if (handler) handler();
    }
    impl.inPass = false;
}

void ThinRunner::setClockForTesting(Clock clock) {
    impl_->testClock = std::move(clock);
    impl_->now = impl_->readClock();
}

uint64_t ThinRunner::now() const {
    return impl_->now;
}

size_t ThinRunner::pendingTimers() const {
    return impl_->heap.size();
}

void ThinRunner::armTimer(Timer& timer, uint32_t ticks) {
    Impl& impl = *impl_;
    // Inside a pass, time is this pass's reading; between passes the last
    // reading may be old, so read afresh.
    if (!impl.inPass) impl.now = impl.readClock();
    Impl::HeapEntry entry{impl.now + static_cast<uint64_t>(ticks) * kTickMs, impl.nextSequence++, &timer};
    impl.heap.push_back(entry);
    impl.siftUp(impl.heap.size() - 1);
}

void ThinRunner::cancelTimer(Timer& timer) {
    impl_->removeAt(timer.index_);
}

void ThinRunner::timerMoved(Timer& timer) {
    impl_->heap[timer.index_].timer = &timer;
}

ThinRunner* getRunner() {
    return currentRunner;
}

}  // namespace nv
