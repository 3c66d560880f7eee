// tavo: racy
// C library calls from C++ threads with nothing ordering them: fgets() fills a line the other
// thread compares, the GNU strerror_r() writes a message the other searches; and data changed
// after it was sent through a socket pair is not ordered by the send.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "rendezvous.h"

namespace {
char text[64], message[64];
int shared_value;
int sockets[2];
}  // namespace

int main() {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) return 1;
    int result = 0;
    std::thread writer([] {
        FILE* file = std::tmpfile();
        std::fputs("a line\n", file);
        std::rewind(file);
        if (std::fgets(text, sizeof text, file) == nullptr) return;  // race
        std::fclose(file);
        if (strerror_r(12345, message, sizeof message) == nullptr) return;  // race
        if (send(sockets[0], "x", 1, 0) != 1) return;
        shared_value = 2;  // race
        rendezvous(2);
    });
    std::thread reader([&result] {
        result = std::strcmp(text, "another line\n") != 0;  // race
        result += std::strchr(message, '5') != nullptr;     // race
        char byte;
        if (recv(sockets[1], &byte, 1, 0) != 1) return;
        result += shared_value;  // race
        rendezvous(2);
    });
    writer.join();
    reader.join();
    std::printf("%d\n", result);
    return 0;
}
