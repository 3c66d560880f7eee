// A static loop without its barrier: every thread then reads what the others still write.
// tavo: racy
#include <stdio.h>

#define N 256
int a[N];

int main(void) {
  long total = 0;
#pragma omp parallel reduction(+ : total)
  {
#pragma omp for schedule(static) nowait
    for (int i = 0; i < N; i++) a[i] = i;  // race
    for (int i = 0; i < N; i++) total += a[i];  // race
  }
  printf("%ld\n", total);
  return 0;
}
