"""Scripted sources for the iterator tests."""


class Script:
    """An iterator following a script: values are yielded, "stop" ends once (later calls go on),
    an exception instance is raised."""

    def __init__(self, *script):
        self.script = list(script)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.script:
            raise StopIteration
        step = self.script.pop(0)
        if step == "stop":
            raise StopIteration
        if isinstance(step, BaseException):
            raise step
        return step


def outcomes(it, limit=50):
    """Items, and the type name of each error met, until the end."""
    out = []
    for _ in range(limit):
        try:
            out.append(next(it))
        except StopIteration:
            return out
        except Exception as exc:  # noqa: BLE001 - recorded for the comparison
            out.append(type(exc).__name__)
    raise AssertionError("did not end")
