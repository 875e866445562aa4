"""Module frame: registration order, class properties, import behaviour."""

import importlib
import os
import pathlib
import sys
import sysconfig
import types
import typing

import pytest
from fresh import run_fresh

import trovix
import trovix._trovix as T

# The registration order of the module: every public name, in order.
FULL_ORDER = [
    "Some", "NothingType", "Option", "Ok", "Err", "Result", "Nothing",
    "first_opt", "last_opt", "nth_opt", "get_opt", "get_in_opt", "peek_opt",
    "RustIter",
    "count", "first", "second", "last", "nth", "get", "isdistinct", "frequencies", "topk", "peek",
    "take", "drop", "take_nth", "tail", "cons", "concat", "concatv", "interpose", "interleave",
    "sliding_window", "partition", "partition_all", "merge_sorted", "diff", "groupby", "countby",
    "reduceby", "mapcat", "pluck", "remove", "accumulate", "iterate", "unique", "join",
    "curry",
    "identity", "apply", "pipe", "do", "compose", "compose_left", "complement", "juxt", "excepts",
    "memoize", "thread_first", "thread_last",
    "flip",
    "merge", "merge_with", "assoc", "dissoc", "assoc_in", "update_in", "get_in", "keymap", "valmap",
    "itemmap", "keyfilter", "valfilter", "itemfilter",
    "Iter",
]
SIGNATURES = {
    "first_opt": "(seq)",
    "last_opt": "(seq)",
    "nth_opt": "(n, seq)",
    "get_opt": "(ind, coll)",
    "get_in_opt": "(coll, *keys)",
    "peek_opt": "(seq)",
    "count": "(seq)",
    "first": "(seq)",
    "second": "(seq)",
    "last": "(seq)",
    "nth": "(n, seq)",
    "get": "(ind, coll, *rest)",
    "isdistinct": "(seq)",
    "frequencies": "(seq)",
    "topk": "(k, seq, key=None)",
    "peek": "(seq)",
    "take": "(n, seq)",
    "drop": "(n, seq)",
    "take_nth": "(n, seq)",
    "tail": "(n, seq)",
    "cons": "(el, seq)",
    "concat": "(seqs)",
    "concatv": "(*seqs)",
    "interpose": "(el, seq)",
    "interleave": "(seqs)",
    "sliding_window": "(n, seq)",
    "partition": "(n, seq, *rest)",
    "partition_all": "(n, seq)",
    "merge_sorted": "(*seqs, key=None)",
    "diff": "(*seqs, **kwargs)",
    "groupby": "(key, seq)",
    "countby": "(key, seq)",
    "reduceby": "(key, binop, seq, *rest)",
    "mapcat": "(func, seqs)",
    "pluck": "(ind, seqs, *rest)",
    "remove": "(predicate, seq)",
    "accumulate": "(binop, seq, *rest)",
    "iterate": "(func, x)",
    "unique": "(seq, key=None)",
    "join": "(leftkey, leftseq, rightkey, rightseq, left_default=None, right_default=None)",
    "identity": "(x)",
    "apply": "(func, *args, **kwargs)",
    "pipe": "(data, *funcs)",
    "do": "(func, x)",
    "compose": "(*funcs)",
    "compose_left": "(*funcs)",
    "complement": "(func)",
    "juxt": "(*funcs)",
    "excepts": "(exc, func, handler=None)",
    "memoize": "(func, cache=None, key=None)",
    "thread_first": "(val, *forms)",
    "thread_last": "(val, *forms)",
    "merge": "(*dicts, factory=None)",
    "merge_with": "(func, *dicts, factory=None)",
    "assoc": "(d, key, value, factory=None)",
    "dissoc": "(d, *keys, factory=None)",
    "assoc_in": "(d, keys, value, factory=None)",
    "update_in": "(d, keys, func, default=None, factory=None)",
    "get_in": "(keys, coll, default=None, no_default=False)",
    "keymap": "(func, d, factory=None)",
    "valmap": "(func, d, factory=None)",
    "itemmap": "(func, d, factory=None)",
    "keyfilter": "(predicate, d, factory=None)",
    "valfilter": "(predicate, d, factory=None)",
    "itemfilter": "(predicate, d, factory=None)",
}

CLASSES = ["Some", "NothingType", "Option", "Ok", "Err", "Result", "RustIter", "curry", "Iter"]


def test_the_module_registers_all_76_names_in_order():
    assert len(FULL_ORDER) == len(set(FULL_ORDER)) == 76
    assert isinstance(T.__all__, list) and T.__all__ == FULL_ORDER
    public = [n for n in vars(T) if not n.startswith("__")]
    assert public == T.__all__


def test_star_import_gives_exactly_all():
    ns = {}
    exec("from trovix._trovix import *", ns)
    assert sorted(n for n in ns if n != "__builtins__") == sorted(T.__all__)
    # The package adds the two annotation aliases.
    assert trovix.__all__ == T.__all__ + ["OptionOf", "ResultOf"]


def test_generic_classes_subscript_at_runtime():
    """Some[int] and friends are what the stubs say they are, so runtime aliases, casts and
    get_type_hints work; the union aliases substitute like typing's own."""
    for alias, origin, args in [(T.Some[int], T.Some, (int,)), (T.Ok[list[int]], T.Ok, (list[int],)),
                                (T.Err[str], T.Err, (str,)), (T.Iter[int], T.Iter, (int,))]:
        assert type(alias) is types.GenericAlias and alias.__origin__ is origin and alias.__args__ == args
        assert typing.cast(alias, 5) == 5
    with pytest.raises(TypeError):
        T.Option[int]  # namespaces stay plain classes

    def parse(text: "trovix.ResultOf[int, str]") -> trovix.OptionOf[int]:
        raise AssertionError

    hints = typing.get_type_hints(parse)
    assert hints == {"text": T.Ok[int] | T.Err[str], "return": T.Some[int] | T.NothingType}


def test_version_is_the_distribution_version():
    import importlib.metadata
    import tomllib

    with open(pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml", "rb") as f:
        declared = tomllib.load(f)["project"]["version"]
    assert trovix.__version__ == declared == importlib.metadata.version("trovix")


@pytest.mark.parametrize("name", CLASSES)
def test_class_properties(name):
    cls = getattr(T, name)
    assert cls.__module__ == "trovix._trovix"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1
    assert not hasattr(cls, "__dictoffset__") or cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


def test_text_signatures_and_docstrings():
    assert T.Some.__text_signature__ == "(value)"
    assert T.NothingType.__text_signature__ == "()"
    assert T.Ok.__text_signature__ == "(value)"
    assert T.Err.__text_signature__ == "(error)"
    assert not T.Some.__doc__
    assert T.Some.map.__text_signature__ == "($self, f)"
    assert T.Ok.map_err.__text_signature__ == "($self, f)"
    assert T.Err.unwrap.__text_signature__ == "($self)"
    assert T.Option.__doc__ is None and T.Result.__doc__ is None
    assert T.__doc__ == ""


def test_function_text_signatures():
    for name in T.__all__:
        if name in SIGNATURES:
            fn = getattr(T, name)
            assert fn.__text_signature__ == SIGNATURES[name], name
            assert fn.__doc__ is None, name


ITER_METHODS = {
    "map": "($self, f)", "filter": "($self, f)", "unique": "($self, key=None)", "take": "($self, n)",
    "drop": "($self, n)", "sliding_window": "($self, n)", "partition_all": "($self, n)",
    "flat_map": "($self, f)", "pluck": "($self, ind)", "interpose": "($self, el)",
    "accumulate": "($self, binop)", "collect": "($self)", "reduce": "($self, binop, *rest)",
    "count": "($self)", "frequencies": "($self)", "group_by": "($self, key)", "to_dict": "($self)",
    "first": "($self)", "last": "($self)", "nth": "($self, i)",
}


def test_iter_methods_in_registration_order():
    methods = [n for n in vars(T.Iter) if not n.startswith("_")]
    assert methods == list(ITER_METHODS)
    for name, sig in ITER_METHODS.items():
        assert getattr(T.Iter, name).__text_signature__ == sig, name
    assert T.Iter.__text_signature__ == "(inner)"
    assert "__iter__" in vars(T.Iter) and "__next__" not in vars(T.Iter)


def test_functions_are_builtins_of_the_module():
    import types

    for name in T.__all__:
        obj = getattr(T, name)
        if isinstance(obj, types.BuiltinFunctionType):
            assert obj.__module__ == "trovix._trovix"
            assert obj.__self__ is T
            assert obj.__text_signature__ is not None


def test_reimport_registers_the_same_types():
    old = sys.modules.pop("trovix._trovix")
    try:
        fresh = importlib.import_module("trovix._trovix")
        assert fresh is not old
        assert fresh.Some is old.Some
        assert fresh.Nothing is not old.Nothing
        assert fresh.__all__ == old.__all__
    finally:
        sys.modules["trovix._trovix"] = old


def test_the_interpreter_lock_stays_on_after_import():
    # The module declares that it needs the lock: a free-threaded interpreter turns its lock on
    # when loading it (and says so in a RuntimeWarning); a standard one always has it.
    code = "import sys, trovix._trovix; print(sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = run_fresh(code, env=env)
    assert out.stdout.strip() == "True"
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert ("RuntimeWarning" in out.stderr and "trovix._trovix" in out.stderr) == free_threaded, out.stderr


DEDICATED_ITERATORS = ["InterposeIter", "SlidingWindowIter", "UniqueIter", "UniqueIntIter", "PluckIter"]


def test_dedicated_iterator_classes_exist_after_import():
    # In a fresh process, before any function made an instance: the classes exist, are not module
    # attributes, and iterate through their own next slot.
    code = (
        "import trovix._trovix as T\n"
        "print(sorted(c.__name__ for c in object.__subclasses__() if c.__module__ == 'trovix._trovix'))"
    )
    made = set(eval(run_fresh(code).stdout))
    built = [n for n in DEDICATED_ITERATORS if n in made]
    assert {"InterposeIter", "SlidingWindowIter", "PluckIter"} <= set(built)
    assert not any(hasattr(T, n) for n in DEDICATED_ITERATORS)


def test_flip_is_a_curry_of_the_builtin_flip():
    assert type(T.flip) is T.curry
    assert T.flip(divmod)(7)(30) == (4, 2)
    assert T.curry.__text_signature__ == "(func, *args, **kwargs)"
