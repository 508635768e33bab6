// Calls getpid through the 32-bit ABI (int 0x80) and through the x32 ABI, and prints what each
// returned: the pid, or a negated errno.
#include <cstdio>

namespace {

constexpr long I386_GETPID = 20;
constexpr long X32_GETPID = 0x40000000L | 39L;

long through_int80(long call) {
  long result = 0;
  asm volatile("int $0x80" : "=a"(result) : "a"(call) : "memory");
  return result;
}

long through_x32(long call) {
  long result = 0;
  asm volatile("syscall" : "=a"(result) : "a"(call) : "rcx", "r11", "memory");
  return result;
}

} // namespace

int main() {
  return std::printf("%ld %ld\n", through_int80(I386_GETPID), through_x32(X32_GETPID)) > 0 ? 0 : 1;
}
