// libFuzzer target for batch input: the input is a batch file, read through
// a memory file as the client reads one. Traps when
// - a line number goes backwards or is 0, or a refused line gives no reason;
// - a job's request lacks its u32 command, or is not addressed to the
//   target its output line would name;
// - a line the word splitter takes, its words quoted again and split
//   again, does not give the same words;
// - a read of the memory file fails.
// A run takes at most 20,000 steps, so a line of a /16 ends it early.
#include "FakeResolver.h"
#include "client/JobSource.h"
#include "client/ShellWords.h"
#include "protocol/Fields.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string quoted(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        line += " '";
        for (char c : word) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

void checkSplitting(const std::string& text) {
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> words, again;
        std::string error;
        if (splitShellWords(std::string_view(text).substr(start, end - start), &words, &error) &&
            (!splitShellWords(quoted(words), &again, &error) || again != words))
            __builtin_trap();
        start = end + 1;
    }
}

void checkJob(const Job& job, uint32_t* lastLine) {
    if (job.label.line == 0 || job.label.line < *lastLine) __builtin_trap();
    *lastLine = job.label.line;
    const nv::message::Field* command = job.request->find(field::command);
    if (command == nullptr || command->type != nv::FieldType::u32) __builtin_trap();
    const nv::message::Field* address = job.request->find(field::address);
    if (job.label.withHost && (address == nullptr || address->number != job.label.address)) __builtin_trap();
    const nv::message::Field* port = job.request->find(field::port);
    if (job.label.withPort && (port == nullptr || port->number != job.label.port)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    checkSplitting(text);
    int fd = memfd_create("batch", MFD_CLOEXEC);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0)
        __builtin_trap();
    Invocation global;
    JobSource source(global, fd);
    uint32_t lastLine = 0;
    bool ended = false;
    std::string error;
    for (int step = 0; step < 20000 && !ended; ++step) {
        Job job;
        switch (source.next(&job)) {
        case JobSource::Next::end:
            ended = true;
            break;
        case JobSource::Next::needInput:
            if (!source.readInput(&error)) __builtin_trap();
            break;
        case JobSource::Next::usage:
            if (job.usage.empty() || job.label.line == 0 || job.label.line < lastLine) __builtin_trap();
            lastLine = job.label.line;
            break;
        case JobSource::Next::job:
            checkJob(job, &lastLine);
            break;
        }
    }
    close(fd);
    return 0;
}
