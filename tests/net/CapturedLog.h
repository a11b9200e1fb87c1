// The process's diagnostic lines, captured for one test: they go to a
// memory file while the object lives, and text() reads them back.
#pragma once

#include "core/DiagnosticLog.h"

#include <sys/mman.h>
#include <unistd.h>

#include <string>

class CapturedLog {
public:
    CapturedLog() : fd_(memfd_create("diagnostic-lines", MFD_CLOEXEC)) {
        DiagnosticLog::standardOutput().redirectForTesting(fd_);
    }
    ~CapturedLog() {
        DiagnosticLog::standardOutput().redirectForTesting(STDOUT_FILENO);
        close(fd_);
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::string text() const {
        std::string out;
        char buffer[4096];
        for (ssize_t n; (n = pread(fd_, buffer, sizeof buffer, static_cast<off_t>(out.size()))) > 0;)
            out.append(buffer, static_cast<size_t>(n));
        return out;
    }

private:
    int fd_;
};
