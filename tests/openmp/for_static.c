// A static loop without its barrier, so that every thread then reads what the others still
// write; fixed, its implicit barrier orders the reads.
// tavo: racy
// tavo-fixed
#include <stdio.h>

#ifdef FIXED
#define NOWAIT
#else
#define NOWAIT nowait
#endif
#define N 256
int a[N];

int main(void) {
  long total = 0;
#pragma omp parallel reduction(+ : total)
  {
#pragma omp for schedule(static) NOWAIT
    for (int i = 0; i < N; i++) a[i] = i;  // race
    for (int i = 0; i < N; i++) total += a[i];  // race
  }
  printf("%ld\n", total);
  return 0;
}
