// The send/expect stage fed a long answer that never meets its expectation:
// 100 MB in 8 KiB chunks, as a chatty peer would send it. The stage keeps
// no bytes, so the cost per byte stays the same however long the stage
// runs. For contrast, the way of keeping every byte of the stage and
// searching it all again at each chunk, whose cost per byte grows with the
// stage's length.
#include "protocol/Fields.h"
#include "probes/StageSequence.h"
#include "support/ReEngine.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

namespace {

constexpr size_t kChunk = 8192;

const char* const kPatterns[] = {"SSH-2\\.0-", "\\d{3} [A-Z]+\\r\\n$", "(?i)server: *nginx"};

// Lower-case protocol-like lines: nothing that any of the patterns meets.
std::string chunkText() {
    static const char* const kWords[] = {"host:", "length", "2025", "keep-alive", "ssh", "text/html",
                                         "id=220", "ok", "server", "ssh-1.99", "nginy"};
    std::mt19937 random(7);
    std::string text;
    while (text.size() < kChunk) {
        text += kWords[random() % (sizeof kWords / sizeof kWords[0])];
        text += random() % 5 == 0 ? "\r\n" : " ";
    }
    text.resize(kChunk - 1);
    return text + "x";
}

class CountingTransport : public StageTransport {
public:
    void send(const uint8_t*, uint32_t) override { ++sends; }
    int sends = 0;
};

// Arguments: pattern index, megabytes fed.
void StageFedWithoutMatch(benchmark::State& state) {
    nv::message request;
    request.insert<nv::string_id>(field::expect_0, kPatterns[state.range(0)]);
    std::string chunk = chunkText();
    const auto* data = reinterpret_cast<const uint8_t*>(chunk.data());
    size_t chunks = static_cast<size_t>(state.range(1)) * 1000000 / kChunk;
    for (auto _ : state) {
        StageSequence sequence;
        sequence.build(request, false);
        CountingTransport transport;
        bool ended = false;
        for (size_t i = 0; i < chunks; ++i) ended |= sequence.step(request, data, kChunk, transport);
        if (ended) state.SkipWithError("the stage was met");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunks * kChunk));
    state.SetLabel(kPatterns[state.range(0)]);
}

// The same stage done by keeping every byte and searching all of them at
// every chunk. Arguments: pattern index, megabytes fed.
void ReceivedRescannedEachChunk(benchmark::State& state) {
    uint8_t area[kPatternAreaSize] = {};
    const char* pattern = kPatterns[state.range(0)];
    std::string p(pattern);
    reMake(area, reinterpret_cast<const uint8_t*>(p.data()), reinterpret_cast<const uint8_t*>(p.data()) + p.size(), 0,
           0);
    std::string chunk = chunkText();
    size_t chunks = static_cast<size_t>(state.range(1)) * 1000000 / kChunk;
    for (auto _ : state) {
        std::string received;
        for (size_t i = 0; i < chunks; ++i) {
            received += chunk;
            const auto* b = reinterpret_cast<const uint8_t*>(received.data());
            if (reMatchChar(area, b, b + received.size())) state.SkipWithError("the stage was met");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunks * kChunk));
    state.SetLabel(pattern);
}

BENCHMARK(StageFedWithoutMatch)->ArgsProduct({{0, 1, 2}, {25, 50, 100}})->Unit(benchmark::kMillisecond);
BENCHMARK(ReceivedRescannedEachChunk)->ArgsProduct({{0, 1, 2}, {1, 2, 4}})->Unit(benchmark::kMillisecond);

}  // namespace
