// kx_count_probe N: runs a loop of two instructions N times, for the check that the counting
// plugin counts each executed instruction once (check_plugin.sh).
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  unsigned long n = std::strtoul(argv[1], nullptr, 10);
  if (n == 0) return 0;
  __asm__ volatile("1:\n\t"
                   "dec %0\n\t"
                   "jnz 1b"
                   : "+r"(n));
  return 0;
}
