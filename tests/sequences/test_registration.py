"""The sequence functions are registered in their place in the module order, with their text
signatures."""

import trovix._trovix as T

# The module's registration order of the names built in this family (others lie between them).
ORDER = [
    ("RustIter", None),
    ("count", "(seq)"),
    ("first", "(seq)"),
    ("second", "(seq)"),
    ("last", "(seq)"),
    ("nth", "(n, seq)"),
    ("get", "(ind, coll, *rest)"),
    ("peek", "(seq)"),
    ("take", "(n, seq)"),
    ("drop", "(n, seq)"),
    ("take_nth", "(n, seq)"),
    ("tail", "(n, seq)"),
    ("cons", "(el, seq)"),
    ("concat", "(seqs)"),
    ("concatv", "(*seqs)"),
    ("interleave", "(seqs)"),
    ("partition", "(n, seq, *rest)"),
    ("partition_all", "(n, seq)"),
    ("mapcat", "(func, seqs)"),
    ("remove", "(predicate, seq)"),
    ("accumulate", "(binop, seq, *rest)"),
    ("iterate", "(func, x)"),
]


def test_relative_order_and_signatures():
    names = [name for name, _ in ORDER]
    positions = [T.__all__.index(name) for name in names]
    assert positions == sorted(positions)
    assert T.__all__.index("Nothing") < positions[0]
    for name, sig in ORDER[1:]:
        fn = getattr(T, name)
        assert fn.__text_signature__ == sig, name
        assert fn.__doc__ is None, name

