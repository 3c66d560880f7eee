// tavo: clean
// Two threads take turns on a shared buffer, each handing it over by sending a byte through a
// socket pair; the receiver copies, compares and measures what the sender wrote.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace {
char buffer[64];
int sockets[2];

bool hand_over(int fd) { return send(fd, "t", 1, 0) == 1; }
bool take_over(int fd) {
    char token;
    return recv(fd, &token, 1, 0) == 1;
}
}  // namespace

int main() {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) return 1;
    std::size_t total = 0;
    std::thread ping([] {
        for (int round = 0; round < 40; ++round) {
            std::strcpy(buffer, "ping");
            std::strcat(buffer, round % 2 ? " odd" : " even");
            if (!hand_over(sockets[0]) || !take_over(sockets[0])) return;
        }
    });
    std::thread pong([&total] {
        char copy[64];
        for (int round = 0; round < 40; ++round) {
            if (!take_over(sockets[1])) return;
            std::strcpy(copy, buffer);
            total += std::strlen(buffer) + (std::memcmp(copy, buffer, 4) == 0);
            std::strncpy(buffer, "pong", sizeof buffer);
            if (!hand_over(sockets[1])) return;
        }
    });
    ping.join();
    pong.join();
    std::printf("%zu\n", total);
    return total == 0;
}
