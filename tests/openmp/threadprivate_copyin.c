// threadprivate counters, seeded from the master's copy by copyin, kept across regions.
// tavo: clean
#include <omp.h>
#include <stdio.h>

int counter;
#pragma omp threadprivate(counter)

int main(void) {
  long total = 0;
  counter = 10;
#pragma omp parallel copyin(counter)
  counter += omp_get_thread_num();
#pragma omp parallel reduction(+ : total)
  total += counter;
  printf("%ld\n", total);
  return 0;
}
