// Dynamic and guided loops without their barriers, each followed by reads of every element.
// tavo: racy
#include <cstdio>

constexpr int n = 200;
int a[n], b[n];

int main() {
  long total = 0;
#pragma omp parallel reduction(+ : total)
  {
#pragma omp for schedule(dynamic, 4) nowait
    for (int i = 0; i < n; i++) a[i] = i;  // race
    for (int i = 0; i < n; i++) total += a[i];  // race
#pragma omp barrier
#pragma omp for schedule(guided) nowait
    for (int i = 0; i < n; i++) b[i] = i;  // race
    for (int i = 0; i < n; i++) total += b[i];  // race
  }
  std::printf("%ld\n", total);
  return 0;
}
