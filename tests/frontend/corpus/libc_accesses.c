// tavo: racy
// tavo-reports: 3
// Buffers the C library fills and reads for two threads that never synchronise: read() into one
// buffer while the other compares it, strcpy() into a name the other prints, snprintf() into a
// line whose length the other takes.
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "rendezvous.h"

static char block[16], name[16], line[32];
static const char zeros[16];
static char filler[] = "filler";

static void* fill(void* argument) {
    (void)argument;
    const int fd = open("/dev/zero", O_RDONLY);
    if (read(fd, block, sizeof block) != sizeof block) return NULL;  // race
    close(fd);
    strcpy(name, filler);                             // race
    snprintf(line, sizeof line, "%d bytes", 16);      // race
    rendezvous(2);
    return NULL;
}

static void* use(void* argument) {
    FILE* sink = fopen("/dev/null", "w");
    *(int*)argument = memcmp(block, zeros, sizeof block);  // race
    fputs(name, sink);                                     // race
    *(int*)argument += (int)strlen(line);                  // race
    fclose(sink);
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
