#include "platform/process/raw_clone.h"

#include <sched.h>
#include <sys/syscall.h>

#include <cerrno>

#if defined(__x86_64__)
static_assert(SYS_clone3 == 435 && SYS_clone == 56 && SYS_exit == 60, "the numbers written below");
// rdi: args, rsi: size, rdx: body, rcx: argument. The kernel keeps every
// register but rax, rcx and r11 across the call, so body and argument ride
// in r8 and r9 into the child, which starts on its new stack right after the
// syscall instruction and must never return from here.
extern "C" long zefraClone3(void* args, std::size_t size, int (*body)(void*), void* argument);
__asm__(
    ".text\n"
    ".globl zefraClone3\n"
    ".type zefraClone3,@function\n"
    "zefraClone3:\n"
    "  mov %rdx, %r8\n"
    "  mov %rcx, %r9\n"
    "  mov $435, %eax\n"
    "  syscall\n"
    "  test %rax, %rax\n"
    "  jnz 1f\n"
    "  xor %ebp, %ebp\n"
    "  mov %r9, %rdi\n"
    "  call *%r8\n"
    "  mov %eax, %edi\n"
    "  mov $60, %eax\n"
    "  syscall\n"
    "  hlt\n"
    "1:\n"
    "  ret\n"
    ".size zefraClone3, .-zefraClone3\n");

// rdi: flags, rsi: stack top, rdx: pidfd (clone's parent_tid), rcx: body,
// r8: argument. Body and argument go on top of the child's stack, which it
// pops back off, leaving the stack aligned for the call.
extern "C" long zefraClone(unsigned long flags, char* stackTop, int* pidfd, int (*body)(void*),
                           void* argument);
__asm__(
    ".text\n"
    ".globl zefraClone\n"
    ".type zefraClone,@function\n"
    "zefraClone:\n"
    "  and $-16, %rsi\n"
    "  sub $16, %rsi\n"
    "  mov %rcx, 0(%rsi)\n"
    "  mov %r8, 8(%rsi)\n"
    "  xor %r10d, %r10d\n"
    "  xor %r8d, %r8d\n"
    "  mov $56, %eax\n"
    "  syscall\n"
    "  test %rax, %rax\n"
    "  jnz 1f\n"
    "  xor %ebp, %ebp\n"
    "  pop %rax\n"
    "  pop %rdi\n"
    "  call *%rax\n"
    "  mov %eax, %edi\n"
    "  mov $60, %eax\n"
    "  syscall\n"
    "  hlt\n"
    "1:\n"
    "  ret\n"
    ".size zefraClone, .-zefraClone\n");
#endif

namespace zefra::platform {

#if defined(__x86_64__)
bool haveRawClone3() {
  return true;
}

long rawClone3(CloneArgs& args, int (*body)(void*), void* argument) {
  return zefraClone3(&args, sizeof args, body, argument);
}

long rawClone(unsigned long flags, char* stackTop, int* pidfd, int (*body)(void*), void* argument) {
  return zefraClone(flags, stackTop, pidfd, body, argument);
}
#else
bool haveRawClone3() {
  return false;
}

long rawClone3(CloneArgs&, int (*)(void*), void*) {
  return -ENOSYS;
}

long rawClone(unsigned long flags, char* stackTop, int* pidfd, int (*body)(void*), void* argument) {
  const long pid = ::clone(body, stackTop, static_cast<int>(flags), argument, pidfd);
  return pid < 0 ? -errno : pid;
}
#endif

}  // namespace zefra::platform
