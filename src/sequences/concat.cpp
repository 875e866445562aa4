#include "sequences/concat.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/imports.h"
#include "utils/iterator.h"
#include "utils/ref.h"
#include "utils/source.h"

namespace trovix::sequences {

namespace {

// Chunk buffers never reserve more than this many slots up front, whatever the chunk size.
constexpr std::size_t kChunkReserve = 4096;

// ---- interleave ----------------------------------------------------------------------------------

// Round robin over the iterators still active. A failing iterator keeps its place and is asked
// again on the next call; an exhausted one is dropped, the order of the others is kept.
struct InterleaveStep {
    std::vector<Ref> active;
    std::size_t pos = 0;

    int traverse(visitproc visit, void* arg) const {
        for (const Ref& it : active) Py_VISIT(it.get());
        return 0;
    }

    Next next() {
        while (!active.empty()) {
            if (pos >= active.size()) pos = 0;
            Next n = next_of(active[pos].get());
            if (!n.is_end()) {
                if (n) ++pos;
                return n;
            }
            Ref done = std::move(active[pos]);
            active.erase(active.begin() + static_cast<std::ptrdiff_t>(pos));
        }
        return Next::end();
    }
};

// ---- iterate -------------------------------------------------------------------------------------

// x, func(x), func(func(x)), ... An error from func ends the iteration for good.
struct IterateStep {
    Ref func;
    Ref current;  // empty once func has failed
    bool seed_pending = true;

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(func.get());
        Py_VISIT(current.get());
        return 0;
    }

    Next next() {
        Ref value = std::move(current);
        if (!value) return Next::end();
        if (seed_pending) {
            seed_pending = false;
            current = value.clone();
            return Next::item(std::move(value));
        }
        Ref result = Ref::steal(call_one(func.get(), value.get()));
        if (!result) return Next::error();
        current = result.clone();
        return Next::item(std::move(result));
    }
};

// ---- accumulate ----------------------------------------------------------------------------------

// Running totals. An error from binop leaves the total as it was; the next call continues with the
// next source item.
struct AccumulateStep {
    PySource src;
    Ref binop;
    Ref initial;  // empty when no initial value was given
    Ref total;    // empty until the first total
    bool initial_yielded = false;

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(binop.get());
        Py_VISIT(initial.get());
        Py_VISIT(total.get());
        return src.traverse(visit, arg);
    }

    Next next() {
        if (initial && !initial_yielded) {
            initial_yielded = true;
            total = initial.clone();
            return Next::item(initial.clone());
        }
        Next n = src.next();
        if (!n) return n;
        Ref item = n.take();
        if (!total) {
            total = item.clone();
            return Next::item(std::move(item));
        }
        PyObject* args[2] = {total.get(), item.get()};
        Ref result = Ref::steal(call_vector(binop.get(), args, 2));
        if (!result) return Next::error();
        total = result.clone();
        return Next::item(std::move(result));
    }
};

// ---- remove --------------------------------------------------------------------------------------

// The items for which predicate(item) is false.
struct RemoveStep {
    PySource src;
    Ref predicate;

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(predicate.get());
        return src.traverse(visit, arg);
    }

    Next next() {
        std::size_t steps = 0;
        for (;;) {
            if (poll_signals(steps) < 0) return Next::error();
            Next n = src.next();
            if (!n) return n;
            Ref item = n.take();
            Ref verdict = Ref::steal(call_one(predicate.get(), item.get()));
            if (!verdict) return Next::error();
            int t = truth(verdict.get());
            if (t < 0) return Next::error();
            if (t == 0) return Next::item(std::move(item));
        }
    }
};

// ---- partition / partition_all -------------------------------------------------------------------

// A tuple holding the `count` first items of `full` (whose slots past `count` are empty).
Next shrink_chunk(Ref full, Py_ssize_t count) {
    Ref t = Ref::steal(PyTuple_New(count));
    if (!t) return Next::error();
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(t.get(), i, PyTuple_GET_ITEM(full.get(), i));
        PyTuple_SET_ITEM(full.get(), i, nullptr);
    }
    return Next::item(std::move(t));
}

// How a chunk that the source cannot fill ends.
enum class ShortChunk {
    Drop,     // partition without a pad value: the incomplete chunk is dropped
    Pad,      // partition with a pad value: filled up with it
    Shorter,  // partition_all: a shorter final chunk
};

// The next chunk of `n` items from `src`. A source error releases the items taken so far.
Next next_chunk(PySource& src, std::size_t n, ShortChunk mode, PyObject* pad) {
    if (n <= kChunkReserve) {
        // The common case: fill the result tuple directly.
        Py_ssize_t size = static_cast<Py_ssize_t>(n);
        Ref chunk = Ref::steal(PyTuple_New(size));
        if (!chunk) return Next::error();
        // While Python code of the source runs, the half-filled tuple stays out of the garbage
        // collector's sight (gc.get_objects() must not hand out empty slots).
        bool hidden = !src.runs_no_code();
        if (hidden) PyObject_GC_UnTrack(chunk.get());
        Py_ssize_t got = src.fill(&PyTuple_GET_ITEM(chunk.get(), 0), size);
        if (got == size) [[likely]] {
            if (hidden) PyObject_GC_Track(chunk.get());
            return Next::item(std::move(chunk));
        }
        if (got < 0) return Next::error();
        if (got == 0 || mode == ShortChunk::Drop) return Next::end();
        if (mode == ShortChunk::Shorter) return shrink_chunk(std::move(chunk), got);
        for (Py_ssize_t i = got; i < size; ++i) PyTuple_SET_ITEM(chunk.get(), i, Py_NewRef(pad));
        if (hidden) PyObject_GC_Track(chunk.get());
        return Next::item(std::move(chunk));
    }
    // A huge chunk size: grow a buffer as items arrive.
    std::vector<Ref> buf;
    buf.reserve(kChunkReserve);
    bool padded = false;
    std::size_t steps = 0;
    while (buf.size() < n) {
        if (poll_signals(steps) < 0) return Next::error();
        Next x = src.next();
        if (!x) {
            if (x.is_error() || buf.empty() || mode == ShortChunk::Drop) return x;
            padded = mode == ShortChunk::Pad;
            break;
        }
        buf.push_back(x.take());
    }
    // A padded chunk has n slots, which may well be more than memory allows: the interpreter
    // reports that as MemoryError.
    Py_ssize_t size = static_cast<Py_ssize_t>(padded ? n : buf.size());
    Ref t = Ref::steal(PyTuple_New(size));
    if (!t) return Next::error();
    Py_ssize_t i = 0;
    for (Ref& item : buf) PyTuple_SET_ITEM(t.get(), i++, item.release());
    for (; i < size; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(pad));
    return Next::item(std::move(t));
}

// `n`-tuples of the source; the last chunk is dropped, padded or shorter as `mode` says.
struct ChunkStep {
    PySource src;
    std::size_t n;
    ShortChunk mode;
    Ref pad;  // only for ShortChunk::Pad

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(pad.get());
        return src.traverse(visit, arg);
    }

    Next next() {
        if (n == 0) return Next::end();
        return next_chunk(src, n, mode, pad.get());
    }
};

// ---- module functions ----------------------------------------------------------------------------

PyObject* concat(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("concat", {"seqs"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return concat_impl(a[0]);
}

PyObject* concatv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("concatv", {}, -1, Extra::Args);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    return concat_impl(a.varargs.get());
}

PyObject* mapcat(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("mapcat", {"func", "seqs"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return mapcat_impl(a[0], a[1]);
}

PyObject* interleave(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("interleave", {"seqs"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    Ref outer = Ref::steal(PyObject_GetIter(a[0]));
    if (!outer) return nullptr;
    InterleaveStep step;
    std::size_t steps = 0;
    for (;;) {
        if (poll_signals(steps) < 0) return nullptr;
        Next n = next_of(outer.get());
        if (n.is_error()) return nullptr;
        if (n.is_end()) break;
        Ref seq = n.take();
        Ref it = Ref::steal(PyObject_GetIter(seq.get()));
        if (!it) return nullptr;
        step.active.push_back(std::move(it));
    }
    return new_rust_iter(std::move(step));
}

PyObject* iterate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("iterate", {"func", "x"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return new_rust_iter(IterateStep{Ref::borrow(a[0]), Ref::borrow(a[1])});
}

PyObject* accumulate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("accumulate", {"binop", "seq"}, -1, Extra::Args);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    return accumulate_impl(a[0], a[1], a.varargs.get());
}

PyObject* remove(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("remove", {"predicate", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    PySource src = PySource::open(a[1]);
    if (!src) return nullptr;
    return new_rust_iter(RemoveStep{std::move(src), Ref::borrow(a[0])});
}

PyObject* partition(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("partition", {"n", "seq"}, -1, Extra::Args);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    std::int64_t n = 0;
    if (!as_i64(a[0], "n", n)) return nullptr;
    if (a.nvarargs() >= 2) {
        PyErr_SetString(PyExc_TypeError, "partition takes at most 3 arguments");
        return nullptr;
    }
    if (n <= 0) return empty_iter();
    PySource src = PySource::open(a[1]);
    if (!src) return nullptr;
    bool padded = a.nvarargs() == 1;
    return new_rust_iter(ChunkStep{std::move(src), static_cast<std::size_t>(n),
                                   padded ? ShortChunk::Pad : ShortChunk::Drop,
                                   padded ? Ref::borrow(a.vararg(0)) : Ref()});
}

PyObject* partition_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("partition_all", {"n", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    std::int64_t n = 0;
    if (!as_i64(a[0], "n", n)) return nullptr;
    if (n < 1) return empty_iter();
    return partition_all_impl(static_cast<std::size_t>(n), a[1]);
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyObject* concat_impl(PyObject* seqs) {
    PyObject* from_iterable = cached_attr(CHAIN_FROM_ITERABLE);
    if (from_iterable == nullptr) return nullptr;
    return PyObject_CallOneArg(from_iterable, seqs);
}

PyObject* mapcat_impl(PyObject* func, PyObject* seqs) {
    PyObject* map = cached_attr(BUILTINS_MAP);
    if (map == nullptr) return nullptr;
    PyObject* from_iterable = cached_attr(CHAIN_FROM_ITERABLE);
    if (from_iterable == nullptr) return nullptr;
    PyObject* map_args[2] = {func, seqs};
    Ref mapped = Ref::steal(PyObject_Vectorcall(map, map_args, 2, nullptr));
    if (!mapped) return nullptr;
    return PyObject_CallOneArg(from_iterable, mapped.get());
}

PyObject* accumulate_impl(PyObject* binop, PyObject* seq, PyObject* rest) {
    Py_ssize_t nrest = rest != nullptr ? PyTuple_GET_SIZE(rest) : 0;
    if (nrest >= 2) {
        PyErr_SetString(PyExc_TypeError, "accumulate takes at most 3 arguments");
        return nullptr;
    }
    PySource src = PySource::open(seq);
    if (!src) return nullptr;
    Ref initial = nrest == 1 ? Ref::borrow(PyTuple_GET_ITEM(rest, 0)) : Ref();
    return new_rust_iter(AccumulateStep{std::move(src), Ref::borrow(binop), std::move(initial), Ref(), false});
}

PyObject* partition_all_impl(std::size_t n, PyObject* seq) {
    PySource src = PySource::open(seq);
    if (!src) return nullptr;
    return new_rust_iter(ChunkStep{std::move(src), n, ShortChunk::Shorter, Ref()});
}

PyMethodDef kConcatDef = {"concat", fastcall_method<concat>(), kFastcall, "concat(seqs)\n--\n\n"};
PyMethodDef kConcatvDef = {"concatv", fastcall_method<concatv>(), kFastcall, "concatv(*seqs)\n--\n\n"};
PyMethodDef kInterleaveDef = {"interleave", fastcall_method<interleave>(), kFastcall, "interleave(seqs)\n--\n\n"};
PyMethodDef kPartitionDef = {"partition", fastcall_method<partition>(), kFastcall,
                             "partition(n, seq, *rest)\n--\n\n"};
PyMethodDef kPartitionAllDef = {"partition_all", fastcall_method<partition_all>(), kFastcall,
                                "partition_all(n, seq)\n--\n\n"};
PyMethodDef kMapcatDef = {"mapcat", fastcall_method<mapcat>(), kFastcall, "mapcat(func, seqs)\n--\n\n"};
PyMethodDef kRemoveDef = {"remove", fastcall_method<remove>(), kFastcall, "remove(predicate, seq)\n--\n\n"};
PyMethodDef kAccumulateDef = {"accumulate", fastcall_method<accumulate>(), kFastcall,
                              "accumulate(binop, seq, *rest)\n--\n\n"};
PyMethodDef kIterateDef = {"iterate", fastcall_method<iterate>(), kFastcall, "iterate(func, x)\n--\n\n"};

}  // namespace trovix::sequences
