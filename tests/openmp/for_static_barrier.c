// The same loop with its implicit barrier: reading everything afterwards is ordered.
// tavo: clean
#include <stdio.h>

#define N 256
int a[N];

int main(void) {
  long total = 0;
#pragma omp parallel reduction(+ : total)
  {
#pragma omp for schedule(static)
    for (int i = 0; i < N; i++) a[i] = i;
    for (int i = 0; i < N; i++) total += a[i];
  }
  printf("%ld\n", total);
  return 0;
}
