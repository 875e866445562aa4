#include "utils/once.h"

#include <new>

#include "utils/platform.h"

namespace trovix {

namespace {

// Cells being filled, linked through `next_filling_`; changed only with the interpreter lock held.
OnceCell* g_filling = nullptr;
std::once_flag g_atfork_once;

}  // namespace

// In a forked child only the forking thread exists: a cell another thread was filling would stay
// locked for ever. Such cells get a fresh lock and count as empty again; a cell the forking thread
// itself is filling is left to it.
void reset_cells_in_forked_child() noexcept {
    unsigned long me = PyThread_get_thread_ident();
    OnceCell** link = &g_filling;
    while (OnceCell* cell = *link) {
        if (cell->filler_.load(std::memory_order_relaxed) == me) {
            link = &cell->next_filling_;
            continue;
        }
        *link = cell->next_filling_;
        cell->next_filling_ = nullptr;
        cell->filler_.store(0, std::memory_order_relaxed);
        new (&cell->mutex_) std::mutex();
    }
}

PyObject* OnceCell::peek_elsewhere() const noexcept {
    std::atomic<PyObject*>* home = interp::object_home(value_, id_);
    return home != nullptr ? home->load(std::memory_order_acquire) : nullptr;
}

OnceCell::Filling::Filling(OnceCell& cell, unsigned long me) noexcept : cell_(cell) {
    std::call_once(g_atfork_once, [] { platform::at_fork_child(reset_cells_in_forked_child); });
    cell_.filler_.store(me, std::memory_order_relaxed);
    cell_.next_filling_ = g_filling;
    g_filling = &cell_;
}

OnceCell::Filling::~Filling() {
    for (OnceCell** link = &g_filling; *link != nullptr; link = &(*link)->next_filling_) {
        if (*link == &cell_) {
            *link = cell_.next_filling_;
            break;
        }
    }
    cell_.next_filling_ = nullptr;
    cell_.filler_.store(0, std::memory_order_relaxed);
}

}  // namespace trovix
