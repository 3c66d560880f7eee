// Mutual exclusion: a critical section and a lock, taken in turn many times.
#include <omp.h>
#include <stdio.h>

int main(void) {
  long counter = 0, other = 0;
  omp_lock_t lock;
  omp_init_lock(&lock);
#pragma omp parallel for
  for (int i = 0; i < 200000; i++) {
#pragma omp critical
    counter += i % 7;
    omp_set_lock(&lock);
    other += 1;
    omp_unset_lock(&lock);
  }
  omp_destroy_lock(&lock);
  printf("%ld %ld\n", counter, other);
  return 0;
}
