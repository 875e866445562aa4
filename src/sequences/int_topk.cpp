// Selection kernels behind `topk` on integer buffers.
//
// A `Selector` keeps the k largest values fed to it, in memory proportional to k whatever the
// input's length. For a small k it is a binary min-heap whose root is the smallest value kept: a
// value enters only when it is greater than the root, so most values cost one comparison against
// a value held in a register. For a larger k it collects the values above a threshold in a buffer
// of 2k and, whenever the buffer fills, keeps its k largest (a partial partition) and raises the
// threshold to the smallest of them: linear time, even for sorted input where every value enters.
// Buffers of at least 524288 elements are cut into consecutive chunks that the worker pool
// selects from; each finished chunk is merged at once into the shared selection, so only one
// selection per worker is alive at a time. The calling thread then sorts the final k values and
// boxes only those.
#include "sequences/int_topk.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "utils/int_buffer.h"
#include "utils/pool.h"
#include "utils/ref.h"

namespace trovix::sequences {

namespace {

constexpr std::size_t kParallelThreshold = std::size_t{1} << 19;
// Shortest parallel chunk, and chunks per worker (a worker slowed down by other processes on its
// core then holds up only a small part of the buffer).
constexpr std::size_t kMinChunk = std::size_t{1} << 16;
constexpr std::size_t kChunksPerWorker = 4;

// Up to this k the selection is a heap; above it, a buffer partitioned when full.
constexpr std::size_t kHeapMax = 256;

// Moves heap[0] down to its place after the root was replaced.
template <class T>
void sift_down(T* heap, std::size_t size, T x) {
    std::size_t i = 0;
    while (true) {
        std::size_t child = 2 * i + 1;
        if (child >= size) break;
        if (child + 1 < size && heap[child + 1] < heap[child]) ++child;
        if (!(heap[child] < x)) break;
        heap[i] = heap[child];
        i = child;
    }
    heap[i] = x;
}

// The min(k, fed) largest values of everything fed to it. `expected`: how many values it may be
// fed at most (bounds the memory taken up front).
template <class T>
class Selector {
public:
    Selector(std::size_t k, std::size_t expected) : k_(std::min(k, expected)) {
        if (k_ > 0) values_.reserve(k_ <= kHeapMax ? k_ : std::min(2 * k_, expected));
    }

    void feed(const T* values, std::size_t n) {
        if (k_ == 0) return;
        if (k_ <= kHeapMax) feed_heap(values, n);
        else feed_buffer(values, n);
    }

    // The selected values, in no particular order.
    std::vector<T> take() && {
        if (k_ > kHeapMax && values_.size() > k_) compact();
        return std::move(values_);
    }

private:
    void feed_heap(const T* values, std::size_t n) {
        std::size_t i = 0;
        for (; i < n && values_.size() < k_; ++i) {
            // Sift up.
            T x = values[i];
            std::size_t j = values_.size();
            values_.push_back(x);
            while (j > 0) {
                std::size_t parent = (j - 1) / 2;
                if (!(x < values_[parent])) break;
                values_[j] = values_[parent];
                j = parent;
            }
            values_[j] = x;
        }
        if (i == n) return;
        T* h = values_.data();
        const std::size_t k = k_;
        T root = h[0];
        // Eight values at a time: their maximum (a branch-free reduction) is compared with the
        // root, and only a group holding a value above it is walked one by one.
        for (; i + 8 <= n; i += 8) {
            T m = values[i];
            for (std::size_t j = 1; j < 8; ++j) m = std::max(m, values[i + j]);
            if (root < m) [[unlikely]] {
                for (std::size_t j = i; j < i + 8; ++j) {
                    T x = values[j];
                    if (root < x) {
                        sift_down(h, k, x);
                        root = h[0];
                    }
                }
            }
        }
        for (; i < n; ++i) {
            T x = values[i];
            if (root < x) [[unlikely]] {
                sift_down(h, k, x);
                root = h[0];
            }
        }
    }

    void feed_buffer(const T* values, std::size_t n) {
        std::size_t i = 0;
        for (; i < n && !full_; ++i) push(values[i]);
        T floor = threshold_;
        for (; i < n; ++i) {
            T x = values[i];
            if (floor < x) [[unlikely]] {
                push(x);
                floor = threshold_;
            }
        }
    }

    void push(T x) {
        values_.push_back(x);
        if (values_.size() == 2 * k_) compact();
    }

    // Keeps the k largest values of the buffer; only greater values can enter from now on.
    void compact() {
        auto kth = values_.begin() + static_cast<std::ptrdiff_t>(k_ - 1);
        std::nth_element(values_.begin(), kth, values_.end(), std::greater<T>());
        values_.resize(k_);
        threshold_ = values_[k_ - 1];
        full_ = true;
    }

    std::size_t k_;
    std::vector<T> values_;  // a heap (k <= kHeapMax), or the buffer
    T threshold_{};
    bool full_ = false;
};

template <class T>
std::vector<T> select(const IntSpan<T>& span, std::size_t k) {
    std::size_t n = span.size();
    if (span.repeats_one()) return std::vector<T>(std::min(k, n), span[0]);
    Selector<T> chosen(k, n);
    auto feed_range = [&span](Selector<T>& sel, std::size_t begin, std::size_t end) {
        span.for_blocks(begin, end, [&sel](const T* values, std::size_t len) {
            sel.feed(values, len);
            return true;
        });
    };
    std::size_t workers = k == 0 || n < kParallelThreshold ? 1 : std::max<std::size_t>(1, pool::thread_count());
    if (workers == 1) {
        feed_range(chosen, 0, n);
        return std::move(chosen).take();
    }
    std::size_t pieces = workers * kChunksPerWorker;
    std::size_t chunk = std::max((n + pieces - 1) / pieces, kMinChunk);
    std::size_t nchunks = (n + chunk - 1) / chunk;
    std::mutex merging;
    pool::run(nchunks, [&](std::size_t c) {
        std::size_t begin = c * chunk;
        std::size_t end = std::min(n, begin + chunk);
        Selector<T> part(k, end - begin);
        feed_range(part, begin, end);
        std::vector<T> found = std::move(part).take();
        std::lock_guard<std::mutex> lock(merging);
        chosen.feed(found.data(), found.size());
    });
    return std::move(chosen).take();
}

template <class T>
PyObject* topk_values(const IntSpan<T>& span, std::size_t k) {
    std::vector<T> chosen = select(span, k);
    std::sort(chosen.begin(), chosen.end(), std::greater<T>());
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(chosen.size())));
    if (!result) return nullptr;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        PyObject* v = box_int(chosen[i]);
        if (v == nullptr) return nullptr;  // the tuple's empty slots are fine to drop
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), v);
    }
    return result.release();
}

}  // namespace

PyObject* topk_int(std::size_t k, PyObject* seq, bool& qualified) {
    IntBuf buf = int_buffer(seq);
    if (buf.failed()) {
        qualified = true;  // the export's exception is the answer
        return nullptr;
    }
    qualified = buf && buf.scannable();
    if (!qualified) return nullptr;
    return visit_int_buffer(buf, [k](const auto& span) { return topk_values(span, k); });
}

}  // namespace trovix::sequences
