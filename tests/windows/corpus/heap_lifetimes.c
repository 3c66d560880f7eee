// tavo: racy
// tavo-fixed
// Heap blocks live from allocation to free: a free is a write of the whole block, so freeing a
// block another thread still uses unordered is reported, and a new block at a freed one's address
// carries none of its history. Without FIXED the main thread frees the worker's block before
// waiting for it.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "../../frontend/corpus/rendezvous.h"

static DWORD WINAPI worker(void* argument) {
    int* block = argument;
    block[0] = 1;  // race
    return 0;
}

int main(void) {
    // Reuse: blocks written by one thread, freed, and allocated again by another.
    for (int round = 0; round < 4; ++round) {
        int* block = malloc(64);
        HANDLE thread = CreateThread(NULL, 0, worker, block, 0, NULL);
        WaitForSingleObject(thread, INFINITE);
        free(block);
        void* mapped = VirtualAlloc(NULL, 65536, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        thread = CreateThread(NULL, 0, worker, mapped, 0, NULL);
        WaitForSingleObject(thread, INFINITE);
        VirtualFree(mapped, 0, MEM_RELEASE);
    }
    int* block = HeapAlloc(GetProcessHeap(), 0, 64);
    HANDLE thread = CreateThread(NULL, 0, worker, block, 0, NULL);
    ONLY_FIXED(WaitForSingleObject(thread, INFINITE));
    ONLY_RACY(Sleep(50));
    HeapFree(GetProcessHeap(), 0, block);  // race
    WaitForSingleObject(thread, INFINITE);
    puts("done");
    return 0;
}
