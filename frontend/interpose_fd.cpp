// Synchronisation through file descriptors: what one thread writes into a pipe, a socket, an
// eventfd or a message queue, another reads out, so a write releases the descriptor's object and a read that
// received something acquires it. The buffers the calls read and fill are accesses of the caller.
//
// The wrapper links the program's instrumented objects with --wrap for these names, so only the
// program's own calls arrive here, and the C library's own calls do not come back.
#include <fcntl.h>
#include <mqueue.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "frontend/frontend.h"

using namespace tavo;
using namespace tavo::frontend;

#define TAVO_FRONT extern "C" __attribute__((visibility("default")))
#define CALLER site_of(__builtin_return_address(0))

namespace {

// The object of each descriptor number, or 0 while it has none. Both ends of a pipe or a socket
// pair share one object; a duplicate shares the original's. A close forgets the number before
// the descriptor goes, so a number the system hands out again gets a new object and inherits
// no ordering. Objects are named by ids no address can take.
constexpr int tracked_descriptors = 1 << 16;
constexpr std::uint64_t object_id_base = std::uint64_t{1} << 63;
std::atomic<std::uint64_t> objects[tracked_descriptors];
std::atomic<std::uint64_t> next_object{1};

bool tracked(int fd) { return fd >= 0 && fd < tracked_descriptors; }

std::uint64_t new_object() { return object_id_base | next_object.fetch_add(1, std::memory_order_relaxed); }

void assign(int fd, std::uint64_t object) {
    if (tracked(fd)) objects[fd].store(object, std::memory_order_relaxed);
}

void forget(int fd) { assign(fd, 0); }

// Descriptors the program got elsewhere (open, accept, inherited) get their object on first use.
std::uint64_t object_of(int fd) {
    if (!tracked(fd)) return object_id_base | std::uint64_t{1} << 62 | static_cast<std::uint32_t>(fd);
    std::uint64_t object = objects[fd].load(std::memory_order_relaxed);
    if (object != 0) return object;
    const std::uint64_t fresh = new_object();
    return objects[fd].compare_exchange_strong(object, fresh, std::memory_order_relaxed) ? fresh : object;
}

void share(int original, int duplicate) {
    if (duplicate >= 0 && duplicate != original) assign(duplicate, object_of(original));
}

void reads_vector(const iovec* vector, int count, std::uint64_t site) {
    for (int index = 0; index < count; ++index) access(vector[index].iov_base, vector[index].iov_len, read_access, site);
}

// Only the bytes the call produced were written.
void fills_vector(const iovec* vector, std::size_t count, ssize_t produced, std::uint64_t site) {
    for (std::size_t index = 0; index < count && produced > 0; ++index) {
        const std::size_t length = std::min<std::size_t>(vector[index].iov_len, static_cast<std::size_t>(produced));
        access(vector[index].iov_base, length, write_access, site);
        produced -= static_cast<ssize_t>(length);
    }
}

void fills(void* buffer, ssize_t produced, std::uint64_t site) {
    if (produced > 0) access(buffer, static_cast<std::size_t>(produced), write_access, site);
}

}  // namespace

namespace tavo::frontend {

void descriptor_written(int fd, std::uint64_t site) noexcept {
    inside_library_t inside;
    if (fd >= 0 && ready.load(std::memory_order_relaxed)) sync_operation({0, object_of(fd)}, memory_order::release, site);
}

std::uint64_t descriptor_object(int fd) noexcept { return object_of(fd); }

void descriptor_read(int fd, std::uint64_t site) noexcept {
    inside_library_t inside;
    if (fd >= 0 && ready.load(std::memory_order_relaxed)) sync_operation({0, object_of(fd)}, memory_order::acquire, site);
}

}  // namespace tavo::frontend

// Reading: the buffer is filled first, then what was read orders the reader after the writer.
#define TAVO_READING(call, buffer_fills)           \
    const std::uint64_t site = CALLER;             \
    const ssize_t produced = call;                 \
    if (produced > 0) descriptor_read(fd, site);   \
    buffer_fills;                                  \
    return produced;

TAVO_FRONT ssize_t __wrap_read(int fd, void* buffer, std::size_t size) {
    TAVO_READING(read(fd, buffer, size), fills(buffer, produced, site))
}
TAVO_FRONT ssize_t __wrap_pread(int fd, void* buffer, std::size_t size, off_t offset) {
    TAVO_READING(pread(fd, buffer, size, offset), fills(buffer, produced, site))
}
TAVO_FRONT ssize_t __wrap_readv(int fd, const iovec* vector, int count) {
    TAVO_READING(readv(fd, vector, count), fills_vector(vector, static_cast<std::size_t>(count), produced, site))
}
TAVO_FRONT ssize_t __wrap_preadv(int fd, const iovec* vector, int count, off_t offset) {
    TAVO_READING(preadv(fd, vector, count, offset), fills_vector(vector, static_cast<std::size_t>(count), produced, site))
}
TAVO_FRONT ssize_t __wrap_recv(int fd, void* buffer, std::size_t size, int flags) {
    TAVO_READING(recv(fd, buffer, size, flags), fills(buffer, produced, site))
}
TAVO_FRONT ssize_t __wrap_recvfrom(int fd, void* buffer, std::size_t size, int flags, sockaddr* from, socklen_t* length) {
    TAVO_READING(recvfrom(fd, buffer, size, flags, from, length), {
        fills(buffer, produced, site);
        if (produced >= 0 && from != nullptr && length != nullptr) access(from, *length, write_access, site);
    })
}
TAVO_FRONT ssize_t __wrap_recvmsg(int fd, msghdr* message, int flags) {
    TAVO_READING(recvmsg(fd, message, flags), {
        fills_vector(message->msg_iov, message->msg_iovlen, produced, site);
        if (produced >= 0 && message->msg_name != nullptr) access(message->msg_name, message->msg_namelen, write_access, site);
        if (produced >= 0 && message->msg_control != nullptr)
            access(message->msg_control, message->msg_controllen, write_access, site);
    })
}

// Writing: the buffer is read and the descriptor released before the bytes can reach a reader.
#define TAVO_WRITING(buffer_reads, call) \
    const std::uint64_t site = CALLER;   \
    buffer_reads;                        \
    descriptor_written(fd, site);        \
    return call;

TAVO_FRONT ssize_t __wrap_write(int fd, const void* buffer, std::size_t size) {
    TAVO_WRITING(access(buffer, size, read_access, site), write(fd, buffer, size))
}
TAVO_FRONT ssize_t __wrap_pwrite(int fd, const void* buffer, std::size_t size, off_t offset) {
    TAVO_WRITING(access(buffer, size, read_access, site), pwrite(fd, buffer, size, offset))
}
TAVO_FRONT ssize_t __wrap_writev(int fd, const iovec* vector, int count) {
    TAVO_WRITING(reads_vector(vector, count, site), writev(fd, vector, count))
}
TAVO_FRONT ssize_t __wrap_pwritev(int fd, const iovec* vector, int count, off_t offset) {
    TAVO_WRITING(reads_vector(vector, count, site), pwritev(fd, vector, count, offset))
}
TAVO_FRONT ssize_t __wrap_send(int fd, const void* buffer, std::size_t size, int flags) {
    TAVO_WRITING(access(buffer, size, read_access, site), send(fd, buffer, size, flags))
}
TAVO_FRONT ssize_t __wrap_sendto(int fd, const void* buffer, std::size_t size, int flags, const sockaddr* to,
                                 socklen_t length) {
    TAVO_WRITING(
        {
            access(buffer, size, read_access, site);
            if (to != nullptr) access(to, length, read_access, site);
        },
        sendto(fd, buffer, size, flags, to, length))
}
TAVO_FRONT ssize_t __wrap_sendmsg(int fd, const msghdr* message, int flags) {
    TAVO_WRITING(
        {
            reads_vector(message->msg_iov, static_cast<int>(message->msg_iovlen), site);
            if (message->msg_name != nullptr) access(message->msg_name, message->msg_namelen, read_access, site);
            if (message->msg_control != nullptr) access(message->msg_control, message->msg_controllen, read_access, site);
        },
        sendmsg(fd, message, flags))
}

// Programs built with 64-bit file offsets call these names; on 64-bit systems they are the same.
TAVO_FRONT ssize_t __wrap_pread64(int, void*, std::size_t, off_t) __attribute__((alias("__wrap_pread")));
TAVO_FRONT ssize_t __wrap_pwrite64(int, const void*, std::size_t, off_t) __attribute__((alias("__wrap_pwrite")));
TAVO_FRONT ssize_t __wrap_preadv64(int, const iovec*, int, off_t) __attribute__((alias("__wrap_preadv")));
TAVO_FRONT ssize_t __wrap_pwritev64(int, const iovec*, int, off_t) __attribute__((alias("__wrap_pwritev")));

// The C library reads and writes an eventfd's counter itself, past any interposer.
TAVO_FRONT int __wrap_eventfd_read(int fd, eventfd_t* value) {
    const int status = eventfd_read(fd, value);
    if (status == 0) {
        descriptor_read(fd, CALLER);
        access(value, sizeof *value, write_access, CALLER);
    }
    return status;
}
TAVO_FRONT int __wrap_eventfd_write(int fd, eventfd_t value) {
    descriptor_written(fd, CALLER);
    return eventfd_write(fd, value);
}

// Descriptors made here start with objects of their own, whatever their numbers carried before.
TAVO_FRONT int __wrap_pipe(int ends[2]) {
    const int status = pipe(ends);
    if (status == 0) {
        const std::uint64_t object = new_object();
        assign(ends[0], object);
        assign(ends[1], object);
    }
    return status;
}
TAVO_FRONT int __wrap_pipe2(int ends[2], int flags) {
    const int status = pipe2(ends, flags);
    if (status == 0) {
        const std::uint64_t object = new_object();
        assign(ends[0], object);
        assign(ends[1], object);
    }
    return status;
}
TAVO_FRONT int __wrap_socketpair(int domain, int type, int protocol, int ends[2]) {
    const int status = socketpair(domain, type, protocol, ends);
    if (status == 0) {
        const std::uint64_t object = new_object();
        assign(ends[0], object);
        assign(ends[1], object);
    }
    return status;
}
TAVO_FRONT int __wrap_eventfd(unsigned value, int flags) {
    const int fd = eventfd(value, flags);
    assign(fd, new_object());
    return fd;
}
TAVO_FRONT int __wrap_socket(int domain, int type, int protocol) {
    const int fd = socket(domain, type, protocol);
    assign(fd, new_object());
    return fd;
}
TAVO_FRONT int __wrap_accept(int listener, sockaddr* address, socklen_t* length) {
    const int fd = accept(listener, address, length);
    assign(fd, new_object());
    return fd;
}
TAVO_FRONT int __wrap_accept4(int listener, sockaddr* address, socklen_t* length, int flags) {
    const int fd = accept4(listener, address, length, flags);
    assign(fd, new_object());
    return fd;
}

TAVO_FRONT int __wrap_dup(int fd) {
    const int duplicate = dup(fd);
    share(fd, duplicate);
    return duplicate;
}
// The target number is closed first by the call itself: its object is forgotten either way.
TAVO_FRONT int __wrap_dup2(int fd, int target) {
    const int duplicate = dup2(fd, target);
    share(fd, duplicate);
    return duplicate;
}
TAVO_FRONT int __wrap_dup3(int fd, int target, int flags) {
    const int duplicate = dup3(fd, target, flags);
    share(fd, duplicate);
    return duplicate;
}
// Every command's argument is an int or a pointer, which travel alike.
TAVO_FRONT int __wrap_fcntl(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const int result = fcntl(fd, command, argument);
    if (command == F_DUPFD || command == F_DUPFD_CLOEXEC) share(fd, result);
    return result;
}

TAVO_FRONT int __wrap_close(int fd) {
    forget(fd);
    return close(fd);
}

// A message queue is a descriptor, and every descriptor of one queue shares the queue's object,
// named by its inode: threads that each opened the queue order each other through its messages.
TAVO_FRONT mqd_t __wrap_mq_open(const char* name, int flags, ...) {
    mode_t mode = 0;
    mq_attr* attributes = nullptr;
    if (flags & O_CREAT) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        attributes = va_arg(arguments, mq_attr*);
        va_end(arguments);
    }
    const mqd_t fd = mq_open(name, flags, mode, attributes);
    struct stat status;
    if (fd >= 0 && fstat(fd, &status) == 0) assign(fd, object_id_base | std::uint64_t{1} << 61 | status.st_ino);
    return fd;
}
TAVO_FRONT int __wrap_mq_send(mqd_t fd, const char* message, std::size_t size, unsigned priority) {
    TAVO_WRITING(access(message, size, read_access, site), mq_send(fd, message, size, priority))
}
TAVO_FRONT int __wrap_mq_timedsend(mqd_t fd, const char* message, std::size_t size, unsigned priority,
                                   const timespec* deadline) {
    TAVO_WRITING(access(message, size, read_access, site), mq_timedsend(fd, message, size, priority, deadline))
}
TAVO_FRONT ssize_t __wrap_mq_receive(mqd_t fd, char* message, std::size_t size, unsigned* priority) {
    TAVO_READING(mq_receive(fd, message, size, priority), fills(message, produced, site))
}
TAVO_FRONT ssize_t __wrap_mq_timedreceive(mqd_t fd, char* message, std::size_t size, unsigned* priority,
                                          const timespec* deadline) {
    TAVO_READING(mq_timedreceive(fd, message, size, priority, deadline), fills(message, produced, site))
}
TAVO_FRONT int __wrap_mq_close(mqd_t fd) {
    forget(fd);
    return mq_close(fd);
}

// The C library closes a stream's descriptor itself, past any interposer.
TAVO_FRONT int __wrap_fclose(FILE* stream) {
    forget(fileno(stream));
    return fclose(stream);
}
