// Every schedule, each loop reading what the loop before wrote, behind its barrier.
// tavo: clean
#include <omp.h>
#include <cstdio>

constexpr int n = 300;
int a[n], b[n];

int main() {
  omp_set_schedule(omp_sched_dynamic, 3);
#pragma omp parallel
  {
#pragma omp for schedule(static, 7)
    for (int i = 0; i < n; i++) a[i] = i;
#pragma omp for schedule(dynamic, 5)
    for (int i = 0; i < n; i++) b[i] = a[n - 1 - i];
#pragma omp for schedule(guided)
    for (int i = 0; i < n; i++) a[i] = b[n - 1 - i] + 1;
#pragma omp for schedule(auto)
    for (int i = 0; i < n; i++) b[i] = a[(i * 7) % n];
#pragma omp for schedule(runtime)
    for (int i = 0; i < n; i++) a[i] = b[(i * 11) % n];
#pragma omp for collapse(2) schedule(dynamic)
    for (int i = 0; i < 10; i++)
      for (int j = 0; j < 30; j++) b[i * 30 + j] = a[j * 10 + i];
  }
  std::printf("%d\n", b[17]);
  return 0;
}
