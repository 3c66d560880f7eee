// Criticals of different names do not exclude each other.
// tavo: racy
#include <omp.h>
#include <stdio.h>

int value;

int main(void) {
#pragma omp parallel
  {
    if (omp_get_thread_num() % 2 == 0) {
#pragma omp critical(first)
      value += 1;  // race
    } else {
#pragma omp critical(second)
      value += 2;  // race
    }
  }
  printf("%d\n", value);
  return 0;
}
