// Criticals of different names do not exclude each other.
// tavo: racy
#include <omp.h>
#include <stdio.h>

int value;

__attribute__((noinline)) static void add(int amount) {
  value += amount;  // race
}

int main(void) {
#pragma omp parallel
  {
    if (omp_get_thread_num() % 2 == 0) {
#pragma omp critical(first)
      add(1);
    } else {
#pragma omp critical(second)
      add(2);
    }
  }
  printf("%d\n", value);
  return 0;
}
