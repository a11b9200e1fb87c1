#include "tests/kit/ServiceProcess.h"

#include "nv/BusClient.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
        unlink(outputPath_.c_str());
        rmdir(folder_.c_str());
    }
}

bool ServiceProcess::start(const Options& options) {
    char pattern[] = "/tmp/netprobe-test-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    folder_ = pattern;
    busPath_ = folder_ + "/bus.sock";
    outputPath_ = folder_ + "/stdout.txt";

    std::vector<std::string> args;
    if (!options.netns.empty()) args = {"ip", "netns", "exec", options.netns};
    for (const std::string& word : emulatorPrefix()) args.push_back(word);
    args.push_back(NETPROBED_PATH);

    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        setenv("NETPROBE_BUS", busPath_.c_str(), 1);
        int out = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) dup2(out, STDOUT_FILENO);
        execArgs(args);
    }
    // The emulator takes a while to start; wait up to 20 s for the bus.
    for (int i = 0; i < 400; ++i) {
        nv::BusClient probe;
        std::string error;
        if (probe.connect(busPath_, &error)) return true;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
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
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    // Up to 10 s to end on its own, then SIGKILL.
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
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
