#include "utils/seen.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace trovix {

PySeen::PySeen(bool small_int_shortcut) : shortcut_(small_int_shortcut) {
    slots_ = static_cast<Slot*>(std::calloc(mask_ + 1, sizeof(Slot)));
    if (slots_ == nullptr) throw std::bad_alloc();
}

PySeen::PySeen(PySeen&& other) noexcept
    : owned_(std::move(other.owned_)),
      slots_(std::exchange(other.slots_, nullptr)),
      mask_(other.mask_),
      used_(other.used_),
      shortcut_(other.shortcut_) {}

PySeen::~PySeen() {
    for (PyObject* obj : owned_) Py_DECREF(obj);
    std::free(slots_);
}

int PySeen::insert(PyObject* x) {
    Py_hash_t h = py_hash(x, shortcut_);
    if (h == -1) [[unlikely]] return -1;
    auto uh = static_cast<std::size_t>(h);
    std::size_t i = uh & mask_;
    std::size_t perturb = uh;
    while (true) {
        Slot& s = slots_[i];
        if (s.obj == nullptr) break;
        if (s.hash == h) {
            if (s.obj == x) return 0;
            // The stored object is kept alive by `owned_` while __eq__ runs.
            int eq = keys_equal(s.obj, x);
            if (eq != 0) return eq < 0 ? -1 : 0;
        }
        perturb >>= 5;
        i = (i * 5 + 1 + perturb) & mask_;
    }
    // Make room first: a failed allocation must leave the set unchanged.
    if (owned_.size() == owned_.capacity()) owned_.reserve(std::max<std::size_t>(32, 2 * owned_.capacity()));
    if (2 * (mask_ + 1) < 3 * (used_ + 1)) {
        grow();
        i = uh & mask_;
        perturb = uh;
        while (slots_[i].obj != nullptr) {
            perturb >>= 5;
            i = (i * 5 + 1 + perturb) & mask_;
        }
    }
    slots_[i] = Slot{h, Py_NewRef(x)};
    owned_.push_back(x);
    ++used_;
    return 1;
}

void PySeen::grow() {
    std::size_t capacity = 4 * (mask_ + 1);
    auto* fresh = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
    if (fresh == nullptr) throw std::bad_alloc();
    std::size_t mask = capacity - 1;
    for (std::size_t j = 0; j <= mask_; ++j) {
        if (slots_[j].obj == nullptr) continue;
        auto uh = static_cast<std::size_t>(slots_[j].hash);
        std::size_t i = uh & mask;
        std::size_t perturb = uh;
        while (fresh[i].obj != nullptr) {
            perturb >>= 5;
            i = (i * 5 + 1 + perturb) & mask;
        }
        fresh[i] = slots_[j];
    }
    std::free(slots_);
    slots_ = fresh;
    mask_ = mask;
}

}  // namespace trovix
