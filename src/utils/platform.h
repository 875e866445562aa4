// What the module needs from the operating system and the compiler, in one place, each with a
// portable fallback:
//
// - `TROVIX_PREFETCH(p)` / `TROVIX_PREFETCH_W(p)`: a hint that the cache line at `p` will soon be
//   read (written). GCC and Clang get their builtin, MSVC on x86 its intrinsic; elsewhere nothing.
//   Never faults, whatever `p` points at.
// - `TROVIX_NOINLINE`: keeps a rarely taken path out of its caller's inlined fast path.
// - `available_cpus()`: the processors this process may run on (its affinity mask, capped by a
//   control-group CPU quota on Linux; the standard library's count elsewhere), at least 1.
// - `at_fork_child(f)`: runs `f` in the child of every later fork(), before any other code of the
//   child. The hooks the interpreter offers (`os.register_at_fork`) belong to one interpreter and
//   run only for forks made through `os.fork`, while the state they would reset (the worker pool,
//   the locks of the one-time cells) is shared by the whole process and by every interpreter in
//   it; so this uses `pthread_atfork` where the system has fork(), and does nothing where it has
//   none (Windows).
#pragma once

#include <cstddef>

#if defined(__GNUC__) || defined(__clang__)
#define TROVIX_PREFETCH(p) __builtin_prefetch(static_cast<const void*>(p))
#define TROVIX_PREFETCH_W(p) __builtin_prefetch(static_cast<const void*>(p), 1)
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#define TROVIX_PREFETCH(p) _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0)
#define TROVIX_PREFETCH_W(p) _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0)
#else
#define TROVIX_PREFETCH(p) static_cast<void>(p)
#define TROVIX_PREFETCH_W(p) static_cast<void>(p)
#endif

#if defined(__GNUC__) || defined(__clang__)
#define TROVIX_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define TROVIX_NOINLINE __declspec(noinline)
#else
#define TROVIX_NOINLINE
#endif

namespace trovix::platform {

// Processors available to the process (never 0). Reads the system on every call.
std::size_t available_cpus() noexcept;

// Registers `hook` to run in the child after fork(); true if it was registered (false on systems
// without fork, where it is not needed). `hook` must only do what is safe in a forked child of a
// multi-threaded process: reset plain memory, placement-new a lock.
bool at_fork_child(void (*hook)()) noexcept;

}  // namespace trovix::platform
