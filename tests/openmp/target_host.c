// A target region runs on the host here; its map clauses and its end order the accesses.
// Racy, every thread of a team runs it on the same array.
// tavo: racy
// tavo-fixed
#include <stdio.h>

#define N 100
int a[N];

int main(void) {
  long total = 0;
  for (int i = 0; i < N; i++) a[i] = i;
#ifndef FIXED
#pragma omp parallel
#endif
#pragma omp target map(tofrom : a)
  for (int i = 0; i < N; i++) a[i] *= 2;  // race
  for (int i = 0; i < N; i++) total += a[i];
  printf("%ld\n", total);
  return 0;
}
