"""The combinator wrappers take part in cyclic garbage collection: a cycle that runs through one
(a function stored on an object that the wrapper refers to) is freed by gc.collect()."""

import gc
import weakref

import pytest

import trovix._trovix as T


class Node:
    """Holds the wrapper that (through `method`) refers back to the node."""

    def method(self, *args, **kwargs):
        return self

    def __call__(self, *args, **kwargs):
        return self

    def __hash__(self):
        return 1


# name -> builds a wrapper whose references lead back to `node`
WRAPS = {
    "curry": lambda node: T.curry(node.method),
    "curry (bound args)": lambda node: T.curry(lambda *a, **k: a, node, k=node),
    "curry (resolved partial)": lambda node: T.curry(lambda a, b: a, node)(),
    "Compose": lambda node: T.compose(str, node.method),
    "Juxt": lambda node: T.juxt(node, str),
    "Complement": lambda node: T.complement(node.method),
    "Excepts (func)": lambda node: T.excepts(ValueError, node.method),
    "Excepts (handler)": lambda node: T.excepts(ValueError, abs, node),
    "Excepts (exc)": lambda node: T.excepts((ValueError, node), abs),
    "Memoize (func)": lambda node: T.memoize(node.method),
    "Memoize (key)": lambda node: T.memoize(abs, key=node),
    "Memoize (cache)": lambda node: T.memoize(abs, cache={1: node}),
}


@pytest.mark.parametrize("name", list(WRAPS))
def test_cycle_through_a_wrapper_is_collected(name):
    gc.collect()
    node = Node()
    wrapper = WRAPS[name](node)
    assert gc.is_tracked(wrapper)
    assert gc.get_referents(wrapper), "the wrapper reports no references"
    node.wrapper = wrapper
    wrapper(1)  # a resolved signature or a cached result joins the cycle too
    alive = weakref.ref(node)
    del node, wrapper
    gc.collect()
    assert alive() is None


def test_memoize_result_that_refers_back_to_the_wrapper_is_collected():
    class Result:
        pass

    def f(x):
        r = Result()
        r.owner = m
        return r

    m = T.memoize(f)
    alive = weakref.ref(m(1))
    del m, f
    gc.collect()
    assert alive() is None


def test_collect_from_inside_a_call():
    node = Node()

    def f(*a):
        gc.collect()
        return gc.get_referents(c) and len(a)

    c = T.curry(f, node)
    node.c = c
    assert T.compose(T.juxt(c, T.memoize(f)))(1) == (2, 1)
    del node, c
    gc.collect()
