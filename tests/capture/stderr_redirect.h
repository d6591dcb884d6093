// Test helpers that point standard error somewhere else for a while.
#pragma once

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace capture_test {

// Collects everything written to descriptor 2 until `text()` is called.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        file_ = std::tmpfile();
        ::dup2(::fileno(file_), STDERR_FILENO);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    ~StderrCapture() { restore(); }

    // Stops capturing and returns what was written.
    std::string text() {
        restore();
        return captured_;
    }

private:
    void restore() {
        if (file_ == nullptr) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        std::rewind(file_);
        char chunk[4096];
        std::size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) captured_.append(chunk, n);
        std::fclose(file_);
        file_ = nullptr;
    }

    int saved_ = -1;
    std::FILE* file_ = nullptr;
    std::string captured_;
};

// Closes descriptor 2 for its lifetime.
class StderrClosed {
public:
    StderrClosed() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        ::close(STDERR_FILENO);
    }
    StderrClosed(const StderrClosed&) = delete;
    StderrClosed& operator=(const StderrClosed&) = delete;
    ~StderrClosed() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

private:
    int saved_ = -1;
};

}  // namespace capture_test
