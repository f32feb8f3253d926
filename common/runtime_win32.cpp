// Everything the two Windows programs take from a C runtime, in one place:
// they are linked without one (no MinGW start-up files, no msvcrt.dll, no
// libgcc; cmake/windows.cmake), so that starting them costs only what their
// own work costs. What a runtime would do for them is done here:
//   - the process entry point: it calls program_main and ends the process
//     with its status through ExitProcess, as exit() would (the programs
//     have no buffered streams to flush and register nothing to run at exit);
//   - the heap: realloc and free on the process heap, new memory zero-filled;
//   - the memory and string functions the compiler and the standard headers
//     call (memset, memcpy, memmove, memcmp, memchr, strlen);
//   - the stack probe the compiler calls in front of a frame of 4000 bytes
//     or more (Install's relay buffer), so that the stack grows page by page;
// and the program's own name, which Install takes from the command line as a
// runtime split off argv[0] (own_name in install/install_command_line.h).
// Nothing else in the programs knows the runtime is missing. Whatever else
// reaches for one fails the link (an undefined symbol), and so does a static
// constructor (an assertion cmake/windows.cmake gives the linker): nothing
// here would run it.
#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "runtime.h"

// Keeps GCC from turning the byte loops below into calls of the very
// functions they define.
#pragma GCC optimize("no-tree-loop-distribute-patterns")

// The memory and string functions are marked used: the compiler's own calls
// of them appear only when the link-time optimisation generates the code, too
// late to keep a definition it has already dropped as unused.
#define KVI_CALLED_BY_THE_COMPILER __attribute__((used))

// The entry point the linker is given (-e kvi_entry); the same symbol name on
// both architectures. The system calls it on a stack that need not be
// aligned as GCC assumes on i686.
extern "C" [[noreturn]] __attribute__((force_align_arg_pointer)) void kvi_entry() __asm__("kvi_entry");

extern "C" void kvi_entry() { ExitProcess(static_cast<UINT>(kvi::program_main())); }

// The C library's declarations in the MinGW headers name the parameters
// their own way (_Dst, _Size); these definitions use plain names.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" {

// Text (common/text.h) grows with realloc and fills new bytes itself; the
// heap zero-fills them as well, so no byte of a text is ever left over from
// earlier use. A failed growth keeps the old block, as realloc must.
void* realloc(void* block, std::size_t size) {
    HANDLE heap = GetProcessHeap();
    return block ? HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, size) : HeapAlloc(heap, HEAP_ZERO_MEMORY, size);
}

void free(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

KVI_CALLED_BY_THE_COMPILER void* memset(void* dst, int value, std::size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    while (n--) *d++ = static_cast<unsigned char>(value);
    return dst;
}

KVI_CALLED_BY_THE_COMPILER void* memcpy(void* __restrict dst, const void* __restrict src, std::size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    while (n--) *d++ = *s++;
    return dst;
}

KVI_CALLED_BY_THE_COMPILER void* memmove(void* dst, const void* src, std::size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    if (d < s) {
        while (n--) *d++ = *s++;
    } else {
        while (n--) d[n] = s[n];
    }
    return dst;
}

KVI_CALLED_BY_THE_COMPILER int memcmp(const void* a, const void* b, std::size_t n) {
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    for (; n; --n, ++x, ++y)
        if (*x != *y) return *x < *y ? -1 : 1;
    return 0;
}

KVI_CALLED_BY_THE_COMPILER void* memchr(const void* s, int c, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(s);
    for (; n; --n, ++p)
        if (*p == static_cast<unsigned char>(c)) return const_cast<unsigned char*>(p);
    return nullptr;
}

KVI_CALLED_BY_THE_COMPILER std::size_t strlen(const char* s) {
    const char* p = s;
    while (*p) ++p;
    return static_cast<std::size_t>(p - s);
}

}  // extern "C"
// NOLINTEND(readability-inconsistent-declaration-parameter-name)

// The stack probe: eax (rax) holds the size of the frame about to be made
// below the caller's stack pointer. Touch it one page at a time from the top,
// so that each access lands on the guard page just below the committed stack
// and the system commits the next page, instead of skipping past it. Every
// register is kept; the caller moves the stack pointer itself.
#if defined(__i386__)
__asm__(
    "    .text\n"
    "    .globl ___chkstk_ms\n"
    "___chkstk_ms:\n"
    "    pushl %ecx\n"
    "    pushl %eax\n"
    "    leal 12(%esp), %ecx\n"  // the caller's stack pointer
    "1:  cmpl $0x1000, %eax\n"
    "    jb 2f\n"
    "    subl $0x1000, %ecx\n"
    "    testl %ecx, (%ecx)\n"
    "    subl $0x1000, %eax\n"
    "    jmp 1b\n"
    "2:  subl %eax, %ecx\n"
    "    testl %ecx, (%ecx)\n"
    "    popl %eax\n"
    "    popl %ecx\n"
    "    ret\n");
#elif defined(__x86_64__)
__asm__(
    "    .text\n"
    "    .globl ___chkstk_ms\n"
    "___chkstk_ms:\n"
    "    pushq %rcx\n"
    "    pushq %rax\n"
    "    leaq 24(%rsp), %rcx\n"  // the caller's stack pointer
    "1:  cmpq $0x1000, %rax\n"
    "    jb 2f\n"
    "    subq $0x1000, %rcx\n"
    "    testq %rcx, (%rcx)\n"
    "    subq $0x1000, %rax\n"
    "    jmp 1b\n"
    "2:  subq %rax, %rcx\n"
    "    testq %rcx, (%rcx)\n"
    "    popq %rax\n"
    "    popq %rcx\n"
    "    ret\n");
#else
#error "a stack probe for this architecture"
#endif
