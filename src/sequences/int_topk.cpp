// Selection kernels behind `topk` on integer buffers.
//
// `k_largest` keeps the k largest values seen so far in a binary min-heap whose root is the
// smallest of them: a value enters only when it is greater than the root, so most values cost one
// comparison against a value held in a register. When k is a sizeable part of the input, a
// partial partition (nth_element) is cheaper than the heap. Buffers of at least 524288 elements
// are cut into consecutive chunks that the worker pool selects from; the calling thread then
// selects the final k among the candidates, sorts them and boxes only those.
#include "sequences/int_topk.h"

#include <algorithm>
#include <cstdint>
#include <functional>
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

// The min(n, k) largest values of values[0..n), in no particular order.
template <class T>
std::vector<T> k_largest(const T* values, std::size_t n, std::size_t k) {
    std::vector<T> heap;
    if (k == 0 || n == 0) return heap;
    if (k >= n / 16) {
        heap.assign(values, values + n);
        if (k < n) {
            std::nth_element(heap.begin(), heap.begin() + static_cast<std::ptrdiff_t>(k), heap.end(),
                             std::greater<T>());
            heap.resize(k);
        }
        return heap;
    }
    heap.reserve(k);
    std::size_t i = 0;
    for (; i < n && heap.size() < k; ++i) {
        // Sift up.
        T x = values[i];
        std::size_t j = heap.size();
        heap.push_back(x);
        while (j > 0) {
            std::size_t parent = (j - 1) / 2;
            if (!(x < heap[parent])) break;
            heap[j] = heap[parent];
            j = parent;
        }
        heap[j] = x;
    }
    T* h = heap.data();
    T root = h[0];
    for (; i < n; ++i) {
        T x = values[i];
        if (root < x) [[unlikely]] {
            sift_down(h, k, x);
            root = h[0];
        }
    }
    return heap;
}

template <class T>
std::vector<T> select(const T* values, std::size_t n, std::size_t k) {
    std::size_t workers = k == 0 || n < kParallelThreshold ? 1 : std::max<std::size_t>(1, pool::thread_count());
    if (workers == 1) return k_largest(values, n, k);
    std::size_t pieces = workers * kChunksPerWorker;
    std::size_t chunk = std::max((n + pieces - 1) / pieces, kMinChunk);
    std::size_t nchunks = (n + chunk - 1) / chunk;
    std::vector<std::vector<T>> partials(nchunks);
    pool::run(nchunks, [&](std::size_t c) {
        std::size_t begin = c * chunk;
        partials[c] = k_largest(values + begin, std::min(chunk, n - begin), k);
    });
    std::vector<T> candidates;
    for (const auto& part : partials) candidates.insert(candidates.end(), part.begin(), part.end());
    return k_largest(candidates.data(), candidates.size(), k);
}

template <class T>
PyObject* topk_values(const T* data, std::size_t n, std::size_t k) {
    std::vector<T> chosen = select(data, n, k);
    std::sort(chosen.begin(), chosen.end(), std::greater<T>());
    std::vector<Ref> boxed;
    boxed.reserve(chosen.size());
    for (T v : chosen) {
        boxed.push_back(Ref::steal(box_int(v)));
        if (!boxed.back()) return nullptr;
    }
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(boxed.size())));
    if (!result) return nullptr;
    for (std::size_t i = 0; i < boxed.size(); ++i) {
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), boxed[i].release());
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
    return visit_int_buffer(buf, [k](const auto* data, std::size_t n) -> PyObject* {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
        return topk_values<T>(data, n, k);
    });
}

}  // namespace trovix::sequences
