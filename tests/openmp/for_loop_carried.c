// Each iteration reads the element the next iteration writes: chunk borders race.
// tavo: racy
#include <stdio.h>

#define N 400
int a[N + 1];

int main(void) {
  for (int i = 0; i <= N; i++) a[i] = i;
#pragma omp parallel for schedule(static)
  for (int i = 0; i < N; i++) a[i] = a[i + 1] + 1;  // race
  printf("%d\n", a[0]);
  return 0;
}
