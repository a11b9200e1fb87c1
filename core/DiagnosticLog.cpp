#include "core/DiagnosticLog.h"

#include "nv/ThinRunner.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string_view kindOf(std::string_view line) {
    size_t digit = line.find_first_of("0123456789");
    return digit == std::string_view::npos ? line : line.substr(0, digit);
}

uint64_t loopClock() {
    nv::ThinRunner* runner = nv::getRunner();
    return runner != nullptr ? runner->now() : 0;
}

}  // namespace

DiagnosticLog& DiagnosticLog::standardOutput() {
    // Never destroyed: lines may still come while the process ends.
    static DiagnosticLog* log = new DiagnosticLog(STDOUT_FILENO, loopClock);
    return *log;
}

DiagnosticLog::DiagnosticLog(int fd, Clock clock) : fd_(fd), clock_(std::move(clock)) {}

DiagnosticLog::~DiagnosticLog() {
    watch(false);
    if (ownOutput_) ::close(outputFd_);
}

void DiagnosticLog::redirectForTesting(int fd) {
    watch(false);
    if (ownOutput_) ::close(outputFd_);
    ownOutput_ = false;
    outputFd_ = -1;
    mode_ = Mode::unknown;
    fd_ = fd;
    queue_.clear();
    sent_ = 0;
}

void DiagnosticLog::write(std::string_view line) {
    std::string_view name = kindOf(line);
    auto found = kinds_.find(name);
    // The service's lines have a few fixed kinds; should text from outside
    // ever make new ones, they share one count rather than grow the table.
    if (found == kinds_.end() && kinds_.size() >= kMaxKinds) name = "other";
    if (found == kinds_.end()) found = kinds_.try_emplace(std::string(name)).first;
    Kind& kind = found->second;
    const uint64_t second = clock_() / 1000;
    if (kind.second != second) {
        kind.second = second;
        kind.written = 0;
    }
    if (kind.written >= kLinesPerSecond || queuedBytes() + line.size() + 1 > kQueueLimit) {
        drop(kind);
        return;
    }
    ++kind.written;
    append(line);
    flush();
}

void DiagnosticLog::drop(Kind& kind) {
    ++kind.dropped;
    ++droppedTotal_;
    dropsPending_ = true;
    // Reported when the second is over (or the queue has drained, if later),
    // so that one line covers a whole burst.
    if (!reportTimer_.pending())
        reportTimer_ = nv::Timer(1000 / nv::ThinRunner::kTickMs, [this] { reportDrops(); });
}

void DiagnosticLog::append(std::string_view line) {
    if (sent_ == queue_.size()) {
        queue_.clear();
        sent_ = 0;
    }
    queue_.append(line);
    queue_.push_back('\n');
}

void DiagnosticLog::flush() {
    while (sent_ < queue_.size()) {
        long written = writeSome(queue_.data() + sent_, queue_.size() - sent_);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                watch(true);
                return;
            }
            // The output is gone: nothing more can be written there.
            mode_ = Mode::closed;
            break;
        }
        sent_ += static_cast<size_t>(written);
    }
    // All written, or nowhere to write it.
    queue_.clear();
    sent_ = 0;
    watch(false);
    if (dropsPending_ && !reportTimer_.pending()) reportDrops();
}

void DiagnosticLog::reportDrops() {
    if (!dropsPending_ || queuedBytes() != 0) return;  // flush() comes back here
    std::string line = "LOG: dropped ";
    const char* separator = "";
    for (auto& [name, kind] : kinds_) {
        if (kind.dropped == 0) continue;
        line += separator;
        line += std::to_string(kind.dropped) + " of \"";
        // The kind without the space that led to its number.
        std::string_view text = name;
        while (!text.empty() && (text.back() == ' ' || text.back() == ':')) text.remove_suffix(1);
        line += text;
        line += '"';
        separator = ", ";
        kind.dropped = 0;
    }
    dropsPending_ = false;
    append(line);
    flush();
}

void DiagnosticLog::openOutput() {
    struct stat about {};
    if (::fstat(fd_, &about) != 0) {
        mode_ = Mode::closed;
        return;
    }
    outputFd_ = fd_;
    if (S_ISREG(about.st_mode)) {
        mode_ = Mode::file;
        return;
    }
    if (S_ISSOCK(about.st_mode)) {
        mode_ = Mode::socket;
        return;
    }
    mode_ = Mode::descriptor;
    const std::string path = "/proc/self/fd/" + std::to_string(fd_);
    int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_APPEND);
    if (own >= 0) {
        outputFd_ = own;
        ownOutput_ = true;
        return;
    }
    // No /proc: make the descriptor itself non-blocking.
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

long DiagnosticLog::writeSome(const char* data, size_t length) {
    if (mode_ == Mode::unknown) openOutput();
    switch (mode_) {
    case Mode::socket:
        return ::send(outputFd_, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    case Mode::file:
    case Mode::descriptor:
        return ::write(outputFd_, data, length);
    case Mode::unknown:
    case Mode::closed:
        break;
    }
    errno = EBADF;
    return -1;
}

void DiagnosticLog::watch(bool writable) {
    nv::ThinRunner* runner = nv::getRunner();
    if (writable == watching_ || runner == nullptr) return;
    if (writable)
        watching_ = runner->addSocket(outputFd_, nv::ThinRunner::kWritable, [this](int, unsigned) { flush(); });
    else {
        runner->removeSocket(outputFd_);
        watching_ = false;
    }
}
