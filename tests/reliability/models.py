"""Plain-Python models of the module's operations, for differential checks.

A model does what the native operation does, call for call, in the same order (so hostile
objects that misbehave on their n-th call misbehave at the same point in both).
"""


class _Payload:
    __slots__ = ("payload",)
    tag = ""

    def __eq__(self, other):
        if isinstance(other, type(self)):
            return bool(self.payload == other.payload)
        return False

    def __ne__(self, other):
        return not (self == other)

    def __repr__(self):
        return f"{self.tag}({self.payload!r})"

    __hash__ = None


class Some(_Payload):
    __slots__ = ()
    tag = "Some"
    value = property(lambda self: self.payload)

    def __init__(self, value):
        self.payload = value

    def map(self, f):
        return Some(f(self.payload))

    def and_then(self, f):
        r = f(self.payload)
        if isinstance(r, (Some, NothingType)):
            return r
        raise TypeError("and_then callback must return an Option")

    def filter(self, pred):
        return Some(self.payload) if pred(self.payload) else NothingType()

    def unwrap(self):
        return self.payload

    def unwrap_or(self, default):
        return self.payload

    def unwrap_or_else(self, f):
        return self.payload

    def ok_or(self, err):
        return Ok(self.payload)

    def is_some(self):
        return True

    def is_none(self):
        return False

    def __bool__(self):
        return True


class NothingType:
    __hash__ = None

    def map(self, f):
        return NothingType()

    and_then = filter = map

    def unwrap(self):
        raise ValueError("called `unwrap` on Nothing")

    def unwrap_or(self, default):
        return default

    def unwrap_or_else(self, f):
        return f()

    def ok_or(self, err):
        return Err(err)

    def is_some(self):
        return False

    def is_none(self):
        return True

    def __bool__(self):
        return False

    def __eq__(self, other):
        return isinstance(other, NothingType)

    def __ne__(self, other):
        return not (self == other)

    def __repr__(self):
        return "Nothing"


class Ok(_Payload):
    __slots__ = ()
    tag = "Ok"
    value = property(lambda self: self.payload)

    def __init__(self, value):
        self.payload = value

    def map(self, f):
        return Ok(f(self.payload))

    def map_err(self, f):
        return Ok(self.payload)

    def and_then(self, f):
        r = f(self.payload)
        if isinstance(r, (Ok, Err)):
            return r
        raise TypeError("and_then callback must return a Result")

    def unwrap(self):
        return self.payload

    def unwrap_or(self, default):
        return self.payload

    def ok(self):
        return Some(self.payload)

    def err(self):
        return NothingType()

    def is_ok(self):
        return True

    def is_err(self):
        return False

    def __bool__(self):
        return True


class Err(_Payload):
    __slots__ = ()
    tag = "Err"
    error = property(lambda self: self.payload)

    def __init__(self, error):
        self.payload = error

    def map(self, f):
        return Err(self.payload)

    def map_err(self, f):
        return Err(f(self.payload))

    def and_then(self, f):
        return Err(self.payload)

    def unwrap(self):
        raise ValueError(f"called `unwrap` on Err({self.payload!r})")

    def unwrap_or(self, default):
        return default

    def ok(self):
        return NothingType()

    def err(self):
        return Some(self.payload)

    def is_ok(self):
        return False

    def is_err(self):
        return True

    def __bool__(self):
        return False


class Option:
    @staticmethod
    def of(v):
        return NothingType() if v is None else Some(v)


class Result:
    @staticmethod
    def of(f):
        try:
            return Ok(f())
        except Exception as exc:
            return Err(exc)
