// What an action writes to the standard error stream, the library's log included.
#pragma once

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

namespace test {

template <class Action>
std::string captured_stderr(Action action) {
    std::fflush(stderr);
    char path[] = "/tmp/tavo-stderr-XXXXXX";
    const int file = mkstemp(path);
    unlink(path);
    const int saved = dup(2);
    dup2(file, 2);
    action();
    std::cerr.flush();
    dup2(saved, 2);
    close(saved);
    std::string text(static_cast<std::size_t>(lseek(file, 0, SEEK_END)), '\0');
    if (pread(file, text.data(), text.size(), 0) < 0) text.clear();
    close(file);
    return text;
}

}  // namespace test
