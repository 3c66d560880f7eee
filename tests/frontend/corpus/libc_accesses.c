// tavo: racy
// tavo-reports: 7
// Buffers the C library fills and reads for two threads that never synchronise: read() and
// memcpy() fill buffers the other compares and sums, strcpy() a name the other prints, snprintf()
// a line whose length the other takes, fgets() a line the other compares, the GNU strerror_r() a
// message the other searches, and a constant-size memset(), which compilers would expand inline
// unseen, bytes the other reads.
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "rendezvous.h"

static char block[16], copy[16], name[16], line[32], text[64], message[64], wiped[64];
static const char zeros[16];
static char filler[] = "filler";

static void* fill(void* argument) {
    (void)argument;
    const int fd = open("/dev/zero", O_RDONLY);
    if (read(fd, block, sizeof block) != sizeof block) return NULL;  // race
    close(fd);
    memcpy(copy, filler, sizeof filler);                             // race
    strcpy(name, filler);                                            // race
    snprintf(line, sizeof line, "%d bytes", 16);                     // race
    FILE* file = tmpfile();
    fputs("a line\n", file);
    rewind(file);
    if (fgets(text, sizeof text, file) == NULL) return NULL;         // race
    fclose(file);
    if (strerror_r(12345, message, sizeof message) == NULL) return NULL;  // race
    memset(wiped, 1, sizeof wiped);                                  // race
    rendezvous(2);
    return NULL;
}

static void* use(void* argument) {
    while (atomic_load_explicit(&rendezvous_arrived, memory_order_relaxed) == 0) {
    }
    FILE* sink = fopen("/dev/null", "w");
    int result = memcmp(block, zeros, sizeof block);  // race
    for (size_t index = 0; index < sizeof copy; ++index) result += copy[index];  // race
    fputs(name, sink);                                // race
    result += (int)strlen(line);                      // race
    result += strcmp(text, "another line\n") != 0;    // race
    result += strchr(message, '5') != NULL;           // race
    result += wiped[40];                              // race
    fclose(sink);
    *(int*)argument = result;
    rendezvous(2);
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    int result = 0;
    pthread_create(&threads[0], NULL, fill, NULL);
    pthread_create(&threads[1], NULL, use, &result);
    for (int index = 0; index < 2; ++index) pthread_join(threads[index], NULL);
    printf("%d\n", result >= 0);
    return 0;
}
