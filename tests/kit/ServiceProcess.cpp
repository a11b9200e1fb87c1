#include "tests/kit/ServiceProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace {

std::string readFile(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

// The emulator's words (PowerPC build), then the program and its arguments.
[[noreturn]] void execProgram(std::vector<std::string> words, const std::string& program,
                              const std::vector<std::string>& args) {
    std::istringstream emulator(NETPROBE_TEST_EMULATOR);
    for (std::string word; emulator >> word;) words.push_back(word);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

}  // namespace

ServiceProcess::~ServiceProcess() {
    stop();
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
}

std::string ServiceProcess::start(const Options& options) {
    char pattern[] = "/tmp/netprobe-test-XXXXXX";
    if (!mkdtemp(pattern)) return "mkdtemp failed";
    folder_ = pattern;
    busPath_ = options.busPath.empty() ? folder_ + "/bus.sock" : options.busPath;
    outputPath_ = options.keepOutput ? folder_ + "/stdout.txt" : "/dev/null";
    std::string program = programPath();
    if (access(program.c_str(), X_OK) != 0) return "no netprobed at " + program + " (set NETPROBED)";
    if (options.user != 0) {
        // A copy in the folder given to the user, who may not reach the build.
        std::error_code failed;
        std::filesystem::copy_file(program, folder_ + "/netprobed", failed);
        program = folder_ + "/netprobed";
        if (failed || chown(folder_.c_str(), options.user, options.user) != 0) return "no folder for the user";
    }
    // The service says READY=1 on this socket once its bus is open.
    sockaddr_un ready{AF_UNIX, {}};
    const std::string readyPath = folder_ + "/ready.sock";
    std::strncpy(ready.sun_path, readyPath.c_str(), sizeof ready.sun_path - 1);
    const int readyFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (bind(readyFd, reinterpret_cast<sockaddr*>(&ready), sizeof ready) != 0 ||
        (options.user != 0 && chown(readyPath.c_str(), options.user, options.user) != 0)) {
        close(readyFd);
        return "no readiness socket";
    }
    std::fflush(nullptr);  // or the child could print this process's pending output
    pid_ = fork();
    if (pid_ == 0) {
        setenv("NETPROBE_BUS", busPath_.c_str(), 1);
        setenv("NOTIFY_SOCKET", readyPath.c_str(), 1);
        dup2(open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        if (options.descriptorLimit != 0) setDescriptorLimit(options.descriptorLimit);
        if (options.user != 0 && (setgid(options.user) != 0 || setuid(options.user) != 0)) _exit(126);
        std::vector<std::string> prefix;
        if (!options.netns.empty()) prefix = {"ip", "netns", "exec", options.netns};
        execProgram(prefix, program, {});
    }
    // The emulator takes a while to start: up to 30 s, looking every 100 ms
    // whether the service has died instead.
    char said[16] = {};
    pollfd p{readyFd, POLLIN, 0};
    for (int slice = 0; pid_ > 0 && slice < 300 && poll(&p, 1, 100) == 0; ++slice) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    }
    const bool isReady = p.revents & POLLIN && recv(readyFd, said, sizeof said - 1, 0) > 0 &&
                         std::strcmp(said, "READY=1") == 0;
    close(readyFd);
    return pid_ <= 0 ? "netprobed exited at start" : isReady ? "" : "netprobed did not open its bus";
}

std::string ServiceProcess::programPath() {
    const char* path = std::getenv("NETPROBED");
    return path && *path ? path : NETPROBED_PATH;
}

std::string ServiceProcess::output() const { return readFile(outputPath_); }

bool ServiceProcess::waitForOutput(const std::string& text, int timeoutMs) const {
    // Woken by every write to the file, never by the clock.
    const int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, outputPath_.c_str(), IN_MODIFY);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool found = false;
    for (pollfd p{watch, POLLIN, 0}; !(found = output().find(text) != std::string::npos);) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        char events[4096];
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) break;
        (void)!read(watch, events, sizeof events);
    }
    close(watch);
    return found;
}

int ServiceProcess::stop() { return stopChild(std::exchange(pid_, -1), 10000); }

int reapChild(pid_t pid, int timeoutMs) {
    if (pid <= 0) return -1;
    // Woken by a pidfd when the child ends (Linux 5.3; qemu-user has it).
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    if (pidfd < 0 || poll(&p, 1, timeoutMs) != 1) kill(pid, SIGKILL);
    if (pidfd >= 0) close(pidfd);
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int stopChild(pid_t pid, int graceMs) {
    if (pid > 0) kill(pid, SIGTERM);
    return reapChild(pid, graceMs);
}

bool setDescriptorLimit(rlim_t limit) {
    const rlimit both{limit, limit};
    return setrlimit(RLIMIT_NOFILE, &both) == 0;
}

pid_t startProgram(const std::string& program, const std::vector<std::string>& args, int outFd, int errFd,
                   const std::vector<std::string>& environment) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        for (const std::string& setting : environment) putenv(const_cast<char*>(setting.c_str()));
        execProgram({}, program, args);
    }
    return pid;
}

int runProgram(const std::string& program, const std::vector<std::string>& args, std::string* out,
               std::string* err, const std::vector<std::string>& environment) {
    char outPath[] = "/tmp/netprobe-out-XXXXXX";
    char errPath[] = "/tmp/netprobe-err-XXXXXX";
    const int outFd = mkstemp(outPath);
    const int errFd = mkstemp(errPath);
    const int status = reapChild(startProgram(program, args, outFd, errFd, environment), 60000);
    close(outFd);
    close(errFd);
    if (out) *out = readFile(outPath);
    if (err) *err = readFile(errPath);
    unlink(outPath);
    unlink(errPath);
    return status;
}
