// Runs the real netprobed for a test or a benchmark: on a private bus path
// in a fresh temporary folder, its standard output captured to a file (or
// sent to /dev/null), stopped by its process id when the object goes. In
// the PowerPC build the programs run under the emulator.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

class ServiceProcess {
public:
    struct Options {
        std::string netns;        // run inside this network namespace; empty: here
        bool keepOutput = true;   // false: standard output to /dev/null, for long runs
        rlim_t descriptorLimit = 0;  // soft and hard; 0: this process's
        uid_t user = 0;           // run as this user and group; 0: as this process
        std::string busPath{};    // empty: one in its own temporary folder
    };

    ServiceProcess() : ServiceProcess(Options{}) {}
    explicit ServiceProcess(const Options& options) : error_(start(options)) {}
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // Whether the service said it is ready (its bus open); if not, why.
    bool ready() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& busPath() const { return busPath_; }
    pid_t pid() const { return pid_; }

    // Everything the service printed on standard output so far, and a
    // wait of up to timeoutMs for it to hold `text`.
    std::string output() const;
    bool waitForOutput(const std::string& text, int timeoutMs) const;

    // SIGTERM, up to 10 s to end, then SIGKILL; the exit status (or -1).
    int stop();

    // The program started: env NETPROBED, else this build's netprobed.
    static std::string programPath();

private:
    std::string start(const Options& options);

    std::string folder_;
    std::string busPath_;
    std::string outputPath_;
    pid_t pid_ = -1;
    std::string error_;
};

// Waits up to timeoutMs for a child to end, else kills it (SIGKILL), and
// reaps it: its exit status, or -1 when it did not exit of itself.
// stopChild sends SIGTERM first.
int reapChild(pid_t pid, int timeoutMs);
int stopChild(pid_t pid, int graceMs);

// Sets this process's descriptor limit, soft and hard (raising the hard
// limit takes root); whether it was allowed.
bool setDescriptorLimit(rlim_t limit);

// Starts one of this build's programs, its output to these descriptors; its
// process id.
pid_t startProgram(const std::string& program, const std::vector<std::string>& args, int outFd, int errFd,
                   const std::vector<std::string>& environment = {});
// Runs one of this build's programs with these arguments and environment
// settings ("NAME=value"): its exit status, *out and *err.
int runProgram(const std::string& program, const std::vector<std::string>& args, std::string* out,
               std::string* err = nullptr, const std::vector<std::string>& environment = {});
inline int runClient(const std::vector<std::string>& args, std::string* out, std::string* err = nullptr) {
    return runProgram(NETPROBE_CLI_PATH, args, out, err);
}
