// Worksharing loops and barriers: a three-point stencil over two arrays, many sweeps.
#include <stdio.h>
#include <stdlib.h>

int main(void) {
  const int n = 200000, sweeps = 30;
  double* a = calloc(n, sizeof *a);
  double* b = calloc(n, sizeof *b);
  for (int i = 0; i < n; i++) a[i] = i % 17;
#pragma omp parallel
  for (int sweep = 0; sweep < sweeps; sweep++) {
#pragma omp for schedule(static)
    for (int i = 1; i < n - 1; i++) b[i] = (a[i - 1] + a[i] + a[i + 1]) / 3;
#pragma omp for schedule(static)
    for (int i = 1; i < n - 1; i++) a[i] = b[i];
  }
  printf("%f\n", a[n / 2]);
  free(a);
  free(b);
  return 0;
}
