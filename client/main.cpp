// netprobe: sends requests to the netprobe service and prints the replies.
// One request: exit 0 on success (or sent); 1 a failure or error reply, the
// timeout included; 2 usage error, bad pattern, bus not reachable, or no
// reply within --wait. Many (a sweep or a batch): see client/Sweep.h.
#include "client/CommandLine.h"
#include "client/JobSource.h"
#include "client/ReplyPrinter.h"
#include "client/Sweep.h"
#include "nv/BusClient.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int runOne(const Invocation& invocation, nv::BusClient& client) {
    std::string error;
    int waitMs = invocation.waitMs > INT32_MAX ? INT32_MAX : static_cast<int>(invocation.waitMs);
    uint32_t sequence = client.send(invocation.request, invocation.arg, &error, waitMs);
    if (sequence == 0) {
        std::fprintf(stderr, "netprobe: %s\n", error.c_str());
        return 2;
    }
    if (!invocation.expectsReply) {
        std::puts(invocation.json ? "{\"result\":\"sent\"}" : "sent");
        return 0;
    }
    nv::message reply;
    if (!client.waitReply(sequence, &reply, waitMs, &error)) {
        std::fprintf(stderr, "netprobe: no reply: %s\n", error.c_str());
        return 2;
    }
    std::puts(formatReply(reply, invocation.json).c_str());
    return reply.status() == nv::ReplyStatus::plain ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    Invocation invocation;
    std::string error;
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::fputs(usageText(), args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    if (!parseCommandLine(args, &invocation, &error)) {
        std::fprintf(stderr, "netprobe: %s (netprobe --help for usage)\n", error.c_str());
        return 2;
    }
    int batchFd = STDIN_FILENO;
    if (invocation.batch && !invocation.batchFile.empty() && invocation.batchFile != "-") {
        batchFd = open(invocation.batchFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (batchFd < 0) {
            std::fprintf(stderr, "netprobe: batch: %s: %s\n", invocation.batchFile.c_str(), std::strerror(errno));
            return 2;
        }
    }
    nv::BusClient client;
    if (!client.connect(invocation.busPath, &error)) {
        std::fprintf(stderr, "netprobe: %s\n", error.c_str());
        return 2;
    }
    if (isSingleRequest(invocation)) return runOne(invocation, client);
    JobSource source = invocation.batch ? JobSource(invocation, batchFd) : JobSource(invocation);
    return Sweep(invocation, &source, &client).run();
}
