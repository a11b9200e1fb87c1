#include "tests/kit/ServiceProcess.h"

#include "nv/BusClient.h"
#include "tests/kit/ChildProcess.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

[[noreturn]] void execArgs(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

}  // namespace

std::vector<std::string> emulatorPrefix() {
    return splitWords(NETPROBE_TEST_EMULATOR);
}

ServiceProcess::ServiceProcess() : ServiceProcess(Options{}) {}

ServiceProcess::ServiceProcess(const Options& options) {
    ready_ = start(options);
}

ServiceProcess::~ServiceProcess() {
    stop();
    if (!folder_.empty()) {
        unlink(busPath_.c_str());
        if (outputPath_ != "/dev/null") unlink(outputPath_.c_str());
        rmdir(folder_.c_str());
    }
}

bool ServiceProcess::start(const Options& options) {
    char pattern[] = "/tmp/netprobe-test-XXXXXX";
    if (!mkdtemp(pattern)) {
        error_ = "mkdtemp failed";
        return false;
    }
    folder_ = pattern;
    busPath_ = folder_ + "/bus.sock";
    outputPath_ = options.keepOutput ? folder_ + "/stdout.txt" : "/dev/null";

    const std::string program = programPath();
    if (access(program.c_str(), X_OK) != 0) {
        error_ = "no netprobed at " + program + " (set NETPROBED)";
        return false;
    }
    std::vector<std::string> args;
    if (!options.netns.empty()) args = {"ip", "netns", "exec", options.netns};
    for (const std::string& word : emulatorPrefix()) args.push_back(word);
    args.push_back(program);

    std::fflush(nullptr);  // or the child could print this process's pending output
    pid_ = fork();
    if (pid_ < 0) {
        error_ = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        setenv("NETPROBE_BUS", busPath_.c_str(), 1);
        int out = options.outputFd >= 0 ? options.outputFd
                                         : open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) dup2(out, STDOUT_FILENO);
        if (options.descriptorLimit != 0) setDescriptorLimit(options.descriptorLimit);
        execArgs(args);
    }
    // The emulator takes a while to start; wait up to 20 s for the bus.
    for (int i = 0; i < 400; ++i) {
        nv::BusClient probe;
        std::string ignored;
        if (probe.connect(busPath_, &ignored)) return true;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "netprobed exited at start";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "netprobed did not open its bus";
    return false;
}

std::string ServiceProcess::programPath() {
    const char* path = std::getenv("NETPROBED");
    return path && *path ? path : NETPROBED_PATH;
}

std::string ServiceProcess::output() const {
    return readFile(outputPath_);
}

bool ServiceProcess::waitForOutput(const std::string& text, int timeoutMs) const {
    for (int waited = 0;; waited += 20) {
        if (output().find(text) != std::string::npos) return true;
        if (waited >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int ServiceProcess::stop() {
    const int status = stopChild(pid_, 10000);
    pid_ = -1;
    return status;
}

bool setDescriptorLimit(rlim_t limit) {
    const rlimit both{limit, limit};
    return setrlimit(RLIMIT_NOFILE, &both) == 0;
}

int runClient(const std::vector<std::string>& args, std::string* out, std::string* err) {
    char outPath[] = "/tmp/netprobe-client-out-XXXXXX";
    char errPath[] = "/tmp/netprobe-client-err-XXXXXX";
    int outFd = mkstemp(outPath);
    int errFd = mkstemp(errPath);
    std::vector<std::string> argv = emulatorPrefix();
    argv.push_back(NETPROBE_CLI_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        execArgs(argv);
    }
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    close(outFd);
    close(errFd);
    if (out) *out = readFile(outPath);
    if (err) *err = readFile(errPath);
    unlink(outPath);
    unlink(errPath);
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
