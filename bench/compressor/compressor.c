// A parallel block compressor, as a real program under a race detector: a reader thread cuts the
// input into blocks, worker threads compress each block with a small LZ coder, and a writer thread
// puts the blocks back in order and checks each by decompressing it. Queues are a mutex and two
// condition variables; every block, output buffer and match table comes from malloc and goes back
// to free. Prints the elapsed time and the peak resident memory.
#define _GNU_SOURCE
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include "../timing.h"

#define BLOCK (128 * 1024)
#define QUEUE 8
#define HASH_BITS 14
#define MIN_MATCH 4
#define MAX_WORKERS 16

struct block {
    long sequence;
    size_t size;  // input bytes
    unsigned char* data;
    size_t packed_size;
    unsigned char* packed;
};

struct queue {
    pthread_mutex_t lock;
    pthread_cond_t not_empty, not_full;
    struct block* items[QUEUE];
    int head, count, closed;
};

static void queue_init(struct queue* queue) {
    memset(queue, 0, sizeof *queue);
    pthread_mutex_init(&queue->lock, NULL);
    pthread_cond_init(&queue->not_empty, NULL);
    pthread_cond_init(&queue->not_full, NULL);
}

static void queue_destroy(struct queue* queue) {
    pthread_cond_destroy(&queue->not_full);
    pthread_cond_destroy(&queue->not_empty);
    pthread_mutex_destroy(&queue->lock);
}

static void queue_push(struct queue* queue, struct block* item) {
    pthread_mutex_lock(&queue->lock);
    while (queue->count == QUEUE) pthread_cond_wait(&queue->not_full, &queue->lock);
    queue->items[(queue->head + queue->count++) % QUEUE] = item;
    pthread_cond_signal(&queue->not_empty);
    pthread_mutex_unlock(&queue->lock);
}

// Null once the queue is closed and empty.
static struct block* queue_pop(struct queue* queue) {
    pthread_mutex_lock(&queue->lock);
    while (queue->count == 0 && !queue->closed) pthread_cond_wait(&queue->not_empty, &queue->lock);
    struct block* item = NULL;
    if (queue->count != 0) {
        item = queue->items[queue->head];
        queue->head = (queue->head + 1) % QUEUE;
        --queue->count;
        pthread_cond_signal(&queue->not_full);
    }
    pthread_mutex_unlock(&queue->lock);
    return item;
}

static void queue_close(struct queue* queue) {
    pthread_mutex_lock(&queue->lock);
    queue->closed = 1;
    pthread_cond_broadcast(&queue->not_empty);
    pthread_mutex_unlock(&queue->lock);
}

// The coder: a literal run is a byte 0..127 (length - 1) and the bytes; a match is a byte
// 128 + (length - MIN_MATCH) (at most 127 + MIN_MATCH bytes) and a 16-bit distance.
static size_t put_literals(const unsigned char* in, size_t count, unsigned char* out, size_t written) {
    for (size_t run; count != 0; in += run, count -= run) {
        run = count < 128 ? count : 128;
        out[written++] = (unsigned char)(run - 1);
        memcpy(out + written, in, run);
        written += run;
    }
    return written;
}

static size_t compress(const unsigned char* in, size_t size, unsigned char* out) {
    uint32_t* table = calloc((size_t)1 << HASH_BITS, sizeof *table);  // position + 1, 0 for none
    size_t written = 0, literal_start = 0, at = 0;
    while (at + MIN_MATCH <= size) {
        uint32_t word;
        memcpy(&word, in + at, sizeof word);
        const uint32_t slot = (word * 2654435761u) >> (32 - HASH_BITS);
        const size_t candidate = table[slot];
        table[slot] = (uint32_t)at + 1;
        size_t length = 0;
        if (candidate != 0 && at - (candidate - 1) < 65536)
            while (at + length < size && length < 127 + MIN_MATCH && in[candidate - 1 + length] == in[at + length]) ++length;
        if (length < MIN_MATCH) {
            ++at;
            continue;
        }
        written = put_literals(in + literal_start, at - literal_start, out, written);
        const size_t distance = at - (candidate - 1);
        out[written++] = (unsigned char)(128 + length - MIN_MATCH);
        out[written++] = (unsigned char)(distance & 0xFF);
        out[written++] = (unsigned char)(distance >> 8);
        at += length;
        literal_start = at;
    }
    written = put_literals(in + literal_start, size - literal_start, out, written);
    free(table);
    return written;
}

static size_t decompress(const unsigned char* in, size_t size, unsigned char* out) {
    size_t read = 0, written = 0;
    while (read < size) {
        const unsigned code = in[read++];
        if (code < 128) {
            memcpy(out + written, in + read, code + 1);
            read += code + 1;
            written += code + 1;
        } else {
            const size_t length = code - 128 + MIN_MATCH, distance = in[read] | (size_t)in[read + 1] << 8;
            read += 2;
            for (size_t index = 0; index < length; ++index, ++written) out[written] = out[written - distance];
        }
    }
    return written;
}

static unsigned char* input;
static size_t input_size;
static struct queue work, done;
static size_t total_packed;
static int mismatches;

static void* reader(void* argument) {
    (void)argument;
    long sequence = 0;
    for (size_t offset = 0; offset < input_size; offset += BLOCK) {
        struct block* block = malloc(sizeof *block);
        block->sequence = sequence++;
        block->size = input_size - offset < BLOCK ? input_size - offset : BLOCK;
        block->data = malloc(block->size);
        memcpy(block->data, input + offset, block->size);
        queue_push(&work, block);
    }
    queue_close(&work);
    return NULL;
}

static void* worker(void* argument) {
    (void)argument;
    for (struct block* block; (block = queue_pop(&work)) != NULL;) {
        unsigned char* packed = malloc(block->size + block->size / 128 + 16);
        block->packed_size = compress(block->data, block->size, packed);
        block->packed = realloc(packed, block->packed_size);
        free(block->data);
        block->data = NULL;
        queue_push(&done, block);
    }
    return NULL;
}

// Takes blocks in any order and consumes them in sequence.
static void* writer(void* argument) {
    const long blocks = *(const long*)argument;
    struct block** waiting = calloc((size_t)blocks, sizeof *waiting);
    unsigned char* unpacked = malloc(BLOCK);
    long next = 0;
    while (next < blocks) {
        struct block* block = queue_pop(&done);
        if (block == NULL) break;
        waiting[block->sequence] = block;
        for (; next < blocks && waiting[next] != NULL; ++next) {
            struct block* ready = waiting[next];
            const size_t size = decompress(ready->packed, ready->packed_size, unpacked);
            if (size != ready->size || memcmp(unpacked, input + (size_t)next * BLOCK, size) != 0) ++mismatches;
            total_packed += ready->packed_size;
            free(ready->packed);
            free(ready);
        }
    }
    free(unpacked);
    free(waiting);
    return NULL;
}

// Text-like input: words from a small vocabulary in a repeatable order.
static void make_input(size_t size) {
    static const char* const words[] = {"the ", "block ", "compressor ", "thread ", "queue ", "of ", "and ", "data ",
                                        "worker ", "writer ", "reader ", "a ", "in ", "order ", "\n", "match "};
    input = malloc(size);
    uint32_t state = 12345;
    for (size_t at = 0; at < size;) {
        state = state * 1103515245u + 12345u;
        const char* word = words[(state >> 16) % 16];
        for (; *word != '\0' && at < size; ++word) input[at++] = (unsigned char)*word;
    }
    input_size = size;
}

// Arguments: a label, the number of workers (2), the input size in MiB (8).
int main(int count, char** arguments) {
    const char* label = count > 1 ? arguments[1] : "compressor";
    int workers = count > 2 ? atoi(arguments[2]) : 2;
    if (workers < 1 || workers > MAX_WORKERS) workers = 2;
    const size_t mebibytes = count > 3 ? (size_t)atol(arguments[3]) : 8;
    make_input(mebibytes << 20);
    long blocks = (long)((input_size + BLOCK - 1) / BLOCK);
    queue_init(&work);
    queue_init(&done);
    const double start = now();
    pthread_t reading, writing, working[MAX_WORKERS];
    pthread_create(&reading, NULL, reader, NULL);
    pthread_create(&writing, NULL, writer, &blocks);
    for (int index = 0; index < workers; ++index) pthread_create(&working[index], NULL, worker, NULL);
    pthread_join(reading, NULL);
    for (int index = 0; index < workers; ++index) pthread_join(working[index], NULL);
    queue_close(&done);
    pthread_join(writing, NULL);
    const double elapsed = (now() - start) * 1e-9;
    queue_destroy(&done);
    queue_destroy(&work);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("%-8s %zu MiB in %ld blocks to %zu bytes, %d workers: %.3f s, %ld KiB peak resident memory\n", label,
           mebibytes, blocks, total_packed, workers, elapsed, usage.ru_maxrss);
    free(input);
    if (mismatches != 0) fprintf(stderr, "%s: %d blocks did not decompress to their input\n", label, mismatches);
    return mismatches != 0;
}
