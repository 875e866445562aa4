// The process-wide worker pool for the native integer kernels.
//
// Workers are plain threads that never touch the interpreter: they only read raw buffer memory
// and write private native results. The calling thread hands over a batch of tasks and blocks,
// still attached to the interpreter, until every task is done (meanwhile it runs tasks of the
// batch itself, under the same rule: raw memory only).
//
// Size: RAYON_NUM_THREADS when it holds a decimal integer (0 = default); else RAYON_RS_NUM_CPUS
// when it holds a positive decimal integer; else the CPUs available to the process (affinity
// mask, capped by a cgroup CPU quota); at least 1. The pool is created on first use.
#pragma once

#include <cstddef>
#include <functional>

namespace trovix::pool {

// Number of workers (creates the pool on first use).
std::size_t thread_count();

// Runs `task(i)` for every i in [0, ntasks) on the pool and waits for all of them. If a task
// throws, the other tasks still finish and the first failure is rethrown here as a `Fault`, so
// the calling entry point reports PanicException; nothing hangs and nothing crashes.
void run(std::size_t ntasks, const std::function<void(std::size_t)>& task);

}  // namespace trovix::pool
