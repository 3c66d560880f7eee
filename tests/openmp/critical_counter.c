// Unnamed and named critical sections; racy, the two halves of the team take criticals of
// different names, which do not exclude each other.
// tavo: racy
// tavo-fixed
#include <omp.h>
#include <stdio.h>

#ifdef FIXED
#define SECOND first
#else
#define SECOND second
#endif

int plain, value;

__attribute__((noinline)) static void add(int amount) {
  value += amount;  // race
}

int main(void) {
#pragma omp parallel
  for (int i = 0; i < 50; i++) {
#pragma omp critical
    plain += 1;
    if (omp_get_thread_num() % 2 == 0) {
#pragma omp critical(first)
      add(1);
    } else {
#pragma omp critical(SECOND)
      add(2);
    }
  }
  printf("%d %d\n", plain, value);
  return 0;
}
