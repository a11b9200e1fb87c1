// The pattern engine against PCRE2 (interpreted and JIT), RE2 and
// std::regex: banner patterns searched through texts of 4 KiB, 64 KiB and
// 1 MiB whose one match is at the very end, and the pathological (a*)*b
// over a text of a's. Every engine compiles once, outside the timed loop.
#include "support/ReEngine.h"

#include <benchmark/benchmark.h>

#ifdef NETPROBE_BENCH_REFERENCES
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <re2/re2.h>
#endif

#include <cstdint>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

struct Banner {
    const char* pattern;
    const char* needle;  // what the text ends with, so the one match is at the end
};

const Banner kBanners[] = {
    {"SSH-2\\.0-OpenSSH_\\d+\\.\\d+", "SSH-2.0-OpenSSH_9.6\r\n"},
    {"HTTP/1\\.[01] 200 ", "HTTP/1.1 200 OK\r\n"},
    {"220[ -][^\\r\\n]*ESMTP", "220 mail.example.org ESMTP Postfix\r\n"},
    {"(?i)server: *nginx", "SERVER: nginx/1.25\r\n"},
    {"\\d{3} [A-Z]+\\r\\n$", "421 BUSY\r\n"},
};

// Header-like lines with words, numbers and the banners' own first bytes
// (S, H, 2, digits) spread through, but no match before the needle.
std::string bannerText(size_t size, const char* needle) {
    static const char* const kWords[] = {"Server", "Host:", "HTTP", "status", "SMTP", "2025", "id=2201",
                                         "Content-Length:", "text/html", "keep-alive", "SSH", "HELO",
                                         "x-request", "nginy", "Date:", "OK", "200", "220"};
    std::mt19937 random(42);
    std::string text;
    size_t needleLength = std::strlen(needle);
    while (text.size() + needleLength < size) {
        text += kWords[random() % (sizeof kWords / sizeof kWords[0])];
        text += random() % 6 == 0 ? "\r\n" : " ";
    }
    text.resize(size - needleLength);
    return text + needle;
}

class Engine {
public:
    virtual ~Engine() = default;
    virtual bool compile(const std::string& pattern) = 0;
    virtual bool search(const std::string& text) = 0;
};

class OurEngine : public Engine {
public:
    bool compile(const std::string& p) override {
        std::memset(area_, 0, sizeof area_);
        auto b = reinterpret_cast<const uint8_t*>(p.data());
        return reMake(area_, b, b + p.size(), 0, 0);
    }
    bool search(const std::string& t) override {
        auto b = reinterpret_cast<const uint8_t*>(t.data());
        return reMatchChar(area_, b, b + t.size()) != 0;
    }

private:
    uint8_t area_[kPatternAreaSize];
};

class StdRegexEngine : public Engine {
public:
    bool compile(const std::string& p) override {
        bool caseless = p.rfind("(?i)", 0) == 0;
        regex_ = std::regex(caseless ? p.substr(4) : p,
                            caseless ? std::regex::ECMAScript | std::regex::icase : std::regex::ECMAScript);
        return true;
    }
    bool search(const std::string& t) override { return std::regex_search(t, regex_); }

private:
    std::regex regex_;
};

#ifdef NETPROBE_BENCH_REFERENCES
class Pcre2Engine : public Engine {
public:
    explicit Pcre2Engine(bool jit) : jit_(jit) {}
    ~Pcre2Engine() override {
        if (data_) pcre2_match_data_free(data_);
        if (code_) pcre2_code_free(code_);
    }
    bool compile(const std::string& p) override {
        int error = 0;
        PCRE2_SIZE offset = 0;
        code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(p.data()), p.size(), PCRE2_DOTALL | PCRE2_DOLLAR_ENDONLY,
                              &error, &offset, nullptr);
        if (!code_) return false;
        if (jit_ && pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE) != 0) return false;
        data_ = pcre2_match_data_create_from_pattern(code_, nullptr);
        return true;
    }
    bool search(const std::string& t) override {
        int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(t.data()), t.size(), 0, jit_ ? 0 : PCRE2_NO_JIT,
                             data_, nullptr);
        return rc >= 0;
    }

private:
    bool jit_;
    pcre2_code* code_ = nullptr;
    pcre2_match_data* data_ = nullptr;
};

class Re2Engine : public Engine {
public:
    bool compile(const std::string& p) override {
        RE2::Options options;
        options.set_dot_nl(true);
        options.set_encoding(RE2::Options::EncodingLatin1);
        options.set_log_errors(false);
        re_ = std::make_unique<RE2>(p, options);
        return re_->ok();
    }
    bool search(const std::string& t) override { return RE2::PartialMatch(t, *re_); }

private:
    std::unique_ptr<RE2> re_;
};
#endif

template <class E, class... Args>
void searchBanner(benchmark::State& state, Args... args) {
    const Banner& banner = kBanners[state.range(0)];
    std::string text = bannerText(static_cast<size_t>(state.range(1)), banner.needle);
    E engine(args...);
    if (!engine.compile(banner.pattern) || !engine.search(text)) {
        state.SkipWithError("did not compile or did not find the needle");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(engine.search(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
    state.SetLabel(banner.pattern);
}

// (a*)*b over a's: no match. A backtracking engine without a shortcut
// would try exponentially many ways; every engine here must be linear.
template <class E, class... Args>
void searchPathological(benchmark::State& state, Args... args) {
    std::string text(static_cast<size_t>(state.range(0)), 'a');
    E engine(args...);
    if (!engine.compile("(a*)*b") || engine.search(text)) {
        state.SkipWithError("wrong answer");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(engine.search(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void OurBanner(benchmark::State& s) { searchBanner<OurEngine>(s); }
void StdRegexBanner(benchmark::State& s) { searchBanner<StdRegexEngine>(s); }
void OurPathological(benchmark::State& s) { searchPathological<OurEngine>(s); }
void StdRegexPathological(benchmark::State& s) { searchPathological<StdRegexEngine>(s); }

const std::vector<int64_t> kBannerIndexes = {0, 1, 2, 3, 4};
const std::vector<int64_t> kSizes = {4 << 10, 64 << 10, 1 << 20};

BENCHMARK(OurBanner)->ArgsProduct({kBannerIndexes, kSizes});
BENCHMARK(OurPathological)->RangeMultiplier(16)->Range(4 << 10, 1 << 20);
// std::regex (libstdc++) recurses per byte: larger texts overflow the stack.
BENCHMARK(StdRegexBanner)->ArgsProduct({kBannerIndexes, {4 << 10, 64 << 10}});
// Backtracking: the time grows exponentially with the run of a's, so only
// short runs are measured.
BENCHMARK(StdRegexPathological)->DenseRange(8, 14, 2);

#ifdef NETPROBE_BENCH_REFERENCES
void Pcre2Banner(benchmark::State& s) { searchBanner<Pcre2Engine>(s, false); }
void Pcre2JitBanner(benchmark::State& s) { searchBanner<Pcre2Engine>(s, true); }
void Re2Banner(benchmark::State& s) { searchBanner<Re2Engine>(s); }
void Pcre2Pathological(benchmark::State& s) { searchPathological<Pcre2Engine>(s, false); }
void Pcre2JitPathological(benchmark::State& s) { searchPathological<Pcre2Engine>(s, true); }
void Re2Pathological(benchmark::State& s) { searchPathological<Re2Engine>(s); }

BENCHMARK(Pcre2Banner)->ArgsProduct({kBannerIndexes, kSizes});
BENCHMARK(Pcre2JitBanner)->ArgsProduct({kBannerIndexes, kSizes});
BENCHMARK(Re2Banner)->ArgsProduct({kBannerIndexes, kSizes});
BENCHMARK(Pcre2Pathological)->RangeMultiplier(16)->Range(4 << 10, 1 << 20);
BENCHMARK(Pcre2JitPathological)->RangeMultiplier(16)->Range(4 << 10, 1 << 20);
BENCHMARK(Re2Pathological)->RangeMultiplier(16)->Range(4 << 10, 1 << 20);
#endif

}  // namespace
