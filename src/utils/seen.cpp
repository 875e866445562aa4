#include "utils/seen.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>
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
      shift_(other.shift_),
      used_(other.used_),
      shortcut_(other.shortcut_) {}

PySeen::~PySeen() {
    for (const Owned& o : owned_) Py_DECREF(o.obj);
    std::free(slots_);
}

void PySeen::clear() noexcept {
    std::vector<Owned> dropped = std::move(owned_);
    owned_.clear();
    used_ = 0;
    if (slots_ != nullptr) std::memset(slots_, 0, (mask_ + 1) * sizeof(Slot));
    // Last: a destructor may run Python code.
    for (const Owned& o : dropped) Py_DECREF(o.obj);
}

int PySeen::insert(PyObject* x) {
    Py_hash_t h = py_hash(x, shortcut_);
    if (h == -1) [[unlikely]] return -1;
    auto uh = static_cast<std::size_t>(h);
    auto tag = static_cast<std::uint32_t>(uh);
    std::size_t i = home(uh, shift_);
    while (true) {
        Slot s = slots_[i];
        if (s.pos1 == 0) break;
        if (s.tag == tag) {
            const Owned& o = owned_[s.pos1 - 1];
            if (o.hash == h) {
                if (o.obj == x) return 0;
                // The stored object is kept alive by `owned_` while __eq__ runs.
                int eq = keys_equal(o.obj, x);
                if (eq != 0) return eq < 0 ? -1 : 0;
            }
        }
        i = (i + 1) & mask_;
    }
    if (owned_.size() >= 0xFFFFFFFEu) throw Fault("too many distinct objects (more than 2**32 - 2)");
    // Make room first: a failed allocation must leave the set unchanged.
    if (owned_.size() == owned_.capacity()) owned_.reserve(std::max<std::size_t>(32, 2 * owned_.capacity()));
    if (2 * (mask_ + 1) < 3 * (used_ + 1)) {
        grow();
        i = home(uh, shift_);
        while (slots_[i].pos1 != 0) i = (i + 1) & mask_;
    }
    owned_.push_back(Owned{Py_NewRef(x), h});
    slots_[i] = Slot{static_cast<std::uint32_t>(owned_.size()), tag};
    ++used_;
    return 1;
}

// Four times the slots: a set that keeps growing is rebuilt only every fourfold.
void PySeen::grow() {
    std::size_t capacity = 4 * (mask_ + 1);
    auto* fresh = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
    if (fresh == nullptr) throw std::bad_alloc();
    std::size_t mask = capacity - 1;
    int shift = shift_ - 2;
    // Re-insert in insertion order: a sequential read of `owned_`.
    for (std::size_t pos = 0; pos < owned_.size(); ++pos) {
        auto uh = static_cast<std::size_t>(owned_[pos].hash);
        std::size_t i = home(uh, shift);
        while (fresh[i].pos1 != 0) i = (i + 1) & mask;
        fresh[i] = Slot{static_cast<std::uint32_t>(pos + 1), static_cast<std::uint32_t>(uh)};
    }
    std::free(slots_);
    slots_ = fresh;
    mask_ = mask;
    shift_ = shift;
}

}  // namespace trovix
