// Runs the real netprobed for a test or a benchmark: on a private bus path
// in a fresh temporary folder, its standard output captured to a file (or
// sent to /dev/null), stopped by its process id when the object goes. In
// the PowerPC build the program runs under the emulator.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

class ServiceProcess {
public:
    struct Options {
        // Run inside this network namespace (ip netns exec); empty: here.
        std::string netns;
        // Keep standard output in a file for output(); false: /dev/null,
        // for runs long enough to fill the disk with it.
        bool keepOutput = true;
        // The service's descriptor limit (soft and hard); 0: this process's.
        rlim_t descriptorLimit = 0;
        // Run as this user and group (the folder is given to them); 0: as
        // this process.
        uid_t user = 0;
    };

    ServiceProcess() : ServiceProcess(Options{}) {}
    explicit ServiceProcess(const Options& options);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // Whether the service said it is ready (its bus is open); if not,
    // error() says why.
    bool ready() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& busPath() const { return busPath_; }
    pid_t pid() const { return pid_; }

    // Everything the service printed on standard output so far.
    std::string output() const;
    // Waits until output() holds `text`, up to timeoutMs.
    bool waitForOutput(const std::string& text, int timeoutMs) const;

    // SIGTERM, up to 10 s to end, then SIGKILL; returns the exit status
    // (or -1).
    int stop();

    // The program started: env NETPROBED, else this build's netprobed.
    static std::string programPath();

private:
    std::string start(const Options& options);

    std::string folder_;
    std::string busPath_;
    std::string outputPath_;
    std::string error_;
    pid_t pid_ = -1;
};

// Sets this process's descriptor limit, soft and hard (raising the hard
// limit takes root); whether it was allowed.
bool setDescriptorLimit(rlim_t limit);

// Runs one of this build's programs (under the emulator in the PowerPC
// build) with these arguments and the environment changes given
// ("NAME=value"); returns its exit status, fills *out and *err.
int runProgram(const std::string& program, const std::vector<std::string>& args, std::string* out,
               std::string* err = nullptr, const std::vector<std::string>& environment = {});

// The command-line client, as runProgram.
inline int runClient(const std::vector<std::string>& args, std::string* out, std::string* err = nullptr) {
    return runProgram(NETPROBE_CLI_PATH, args, out, err);
}
