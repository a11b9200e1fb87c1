// The bus through BusClient against a looper that answers at once, in a
// forked child: round-trip latency (p50 and p99 as counters, in
// microseconds) and requests per second with 256 in flight.
#include "nv/BusClient.h"
#include "nv/Looper.h"
#include "tests/kit/ServiceProcess.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kEcho = 100;

class EchoLooper : public nv::Looper {
public:
    EchoLooper() : nv::Looper() {}
    void handleCmd(const nv::message& request, unsigned) override {
        nv::message reply;
        reply.insert<nv::u32_id>(1, request.get<nv::u32_id>(1));
        replyMessage(request, reply);
    }
};

// The answering looper, started on first use and stopped (by pid) when the
// benchmark program ends.
class EchoService {
public:
    static const std::string& path() {
        static EchoService service;
        return service.path_;
    }

private:
    EchoService() {
        char pattern[] = "/tmp/nv-bus-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        folder_ = pattern;
        path_ = folder_ + "/bus.sock";
        int fds[2];
        if (pipe(fds) != 0) return;
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            {
                EchoLooper looper;
                std::string error;
                bool ok = looper.openBus(path_, &error);
                if (write(fds[1], ok ? "y" : "n", 1) != 1 || !ok) _exit(1);
                close(fds[1]);
                looper.run();
            }
            _exit(0);
        }
        close(fds[1]);
        char answer = 'n';
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 20000) != 1 || read(fds[0], &answer, 1) != 1 || answer != 'y')
            std::fprintf(stderr, "the echo looper did not start\n");
        close(fds[0]);
    }
    ~EchoService() {
        stopChild(pid_, 5000);
        unlink(path_.c_str());
        rmdir(folder_.c_str());
    }

    std::string folder_;
    std::string path_;
    pid_t pid_ = -1;
};

nv::message echoRequest(uint32_t value) {
    nv::message m;
    m.insert<nv::u32_id>(nv::kCommandField, kEcho);
    m.insert<nv::u32_id>(1, value);
    return m;
}

void BM_BusRoundTrip(benchmark::State& state) {
    nv::BusClient client;
    std::string error;
    if (!client.connect(EchoService::path(), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<double> micros;
    micros.reserve(1 << 20);
    uint32_t i = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        nv::message reply;
        if (!client.call(echoRequest(++i), 0, &reply, 10000, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["p50_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BusRoundTrip)->UseRealTime();

// Keeps `inFlight` requests outstanding on one connection: each iteration
// takes one reply and sends one request.
void BM_BusInFlight(benchmark::State& state) {
    const auto inFlight = static_cast<uint32_t>(state.range(0));
    nv::BusClient client;
    std::string error;
    if (!client.connect(EchoService::path(), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (uint32_t i = 0; i < inFlight; ++i) client.send(echoRequest(i), 0, &error);
    uint32_t sequence;
    nv::message reply;
    for (auto _ : state) {
        if (!client.nextReply(&sequence, &reply, 10000, &error) || client.send(echoRequest(sequence), 0, &error) == 0) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    for (uint32_t i = 0; i < inFlight; ++i) client.nextReply(&sequence, &reply, 10000, &error);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BusInFlight)->Arg(1)->Arg(16)->Arg(256)->UseRealTime();

}  // namespace
