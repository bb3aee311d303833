"""Fuzz target: rowmint.replace with arbitrary arguments.

Every input becomes one call of replace: a number of positional arguments, a
keyword mapping (right, duplicate, unknown and non-str names among them) and
values of many kinds (small, huge and negative ints, bools, floats, None,
text with non-ASCII characters and lone surrogates, bytes, containers, row
lines, subclasses of int and str that change + or slicing, and objects whose
+ and slicing raise or give odd results).

The oracle is a Python model of replace:
- binding the arguments, with the exact TypeError texts of the function;
- then str[0:start+11] + repstr + str[start+11+lenth:], step by step, where a
  `str` whose type has no subscript operation gives
  TypeError "'<type name>' object is unsliceable".
The module must give the same result (equal, of the same type) or raise the
same exception type with the same message.  The arguments must come back
unchanged.  Anything else is a finding: a mismatch raises AssertionError,
which the fuzzer reports as a crash and saves as an artifact.

Run: python fuzz/fuzz_replace.py [libFuzzer options] [corpus folders or files]
"""
import array
import collections
import decimal
import fractions
import os
import re
import sys
import types

# Load the fuzzer's runtime with global symbols: an extension built with
# -fsanitize=fuzzer-no-link then reports its own coverage to it.
sys.setdlopenflags(sys.getdlopenflags() | os.RTLD_GLOBAL)
import atheris  # noqa: E402

with atheris.instrument_imports():  # noqa: E402
    from fuzz_input import Reader

import rowmint  # noqa: E402

NAMES = ("start", "lenth", "str", "repstr")


class Boom(Exception):
    """Raised by the odd objects below; must reach the caller unchanged."""


# ---------------------------------------------------------------------------
# Objects whose operations misbehave.  They keep no state, so the model and
# the module see the same behaviour, and they compare equal by kind and mode.


class OddBase:
    __slots__ = ("mode",)

    def __init__(self, mode):
        self.mode = mode

    def __eq__(self, other):
        return type(other) is type(self) and other.mode == self.mode

    def __hash__(self):
        return hash((type(self).__name__, self.mode))

    def __repr__(self):
        return "%s(%d)" % (type(self).__name__, self.mode)


def _getitem(kind):
    def raise_(self, key):
        raise Boom("getitem")

    def bounds(self, key):
        if isinstance(key, slice):
            return (key.start, key.stop, key.step)
        return key

    return [raise_, lambda self, key: None, lambda self, key: 7, lambda self, key: self,
            lambda self, key: "piece", bounds, None][kind]


def _add(kind, label):
    def raise_(self, other):
        raise Boom(label)

    return [raise_, lambda self, other: NotImplemented, lambda self, other: 1,
            lambda self, other: "x", lambda self, other: self, lambda self, other: other,
            lambda self, other: (label, self.mode), None][kind]


def _index(kind):
    def raise_(self):
        raise Boom("index")

    return [None, lambda self: self.mode, raise_, lambda self: 2 ** 70 + self.mode][kind]


_odd_classes = {}


def odd_class(getitem, add, radd, index):
    key = (getitem, add, radd, index)
    cls = _odd_classes.get(key)
    if cls is None:
        body = {"__slots__": ()}
        for name, method in (("__getitem__", _getitem(getitem)), ("__add__", _add(add, "add")),
                             ("__radd__", _add(radd, "radd")), ("__index__", _index(index))):
            if method is not None:
                body[name] = method
        cls = type("Odd_%d_%d_%d_%d" % key, (OddBase,), body)
        _odd_classes[key] = cls
    return cls


class PlainStr(str):
    pass


class ReversedSliceStr(str):
    def __getitem__(self, key):
        return str.__getitem__(self, key)[::-1]


class TaggingStr(str):
    def __add__(self, other):
        return "<%s|%r>" % (str(self), other)


class RightAddStr(str):
    def __radd__(self, other):
        if isinstance(other, str):
            return "[" + other + "]"
        return NotImplemented


class BrokenSliceStr(str):
    def __getitem__(self, key):
        raise Boom("str slice")


class PlainInt(int):
    pass


class PlusOneInt(int):
    def __add__(self, other):
        if isinstance(other, int):
            return int(self) + int(other) + 1
        return NotImplemented


class BrokenAddInt(int):
    def __add__(self, other):
        raise Boom("int add")


class TextAddInt(int):
    def __add__(self, other):
        return "11"


STR_CLASSES = (PlainStr, ReversedSliceStr, TaggingStr, RightAddStr, BrokenSliceStr)
INT_CLASSES = (PlainInt, PlusOneInt, BrokenAddInt, TextAddInt, bool)

# Around the limits of machine words and of the module's native path.
HUGE = (2 ** 31, 2 ** 32, 2 ** 59, 2 ** 60, 2 ** 61, 2 ** 62, 2 ** 63, 2 ** 64, 2 ** 65,
        2 ** 100, 2 ** 1000, sys.maxsize, sys.maxsize - 10, sys.maxsize - 11, sys.maxsize - 12)

FLOATS = (0.0, -0.0, 1.0, 2.5, -11.0, 1e300, float("inf"), float("-inf"), float("nan"), 2.0 ** 63)

ROW_LINE = ":0000220100" + "0" * 512
TEMPLATES = (
    ROW_LINE,
    ROW_LINE + "DE",
    ":0001FF0100" + "A5" * 256,
    "01234567890abcdefgh",
    "01234567890ab",
    "abc",
    "",
    ":1022F800000102030405060708090A0B0C0D0E0F5E",
    "18112200002100000000" + "2B01",
    "\u00e9\u20ac\U0001f600\udcff" * 10,
)

KEYWORD_NAMES = NAMES + ("length", "", "x", "st\u00e4rt", "\udcff", 1, None, ("start",),
                         PlainStr("start"), PlainStr("repstr"), PlainStr("nope"))


def misc_value(r):
    size = r.size(40)
    return r.choice((
        lambda: range(size),
        lambda: range(size, -size, -1),
        lambda: memoryview(bytes(range(size))),
        lambda: array.array("b", range(-size // 2, size // 2)),
        lambda: array.array("u", "x" * size),
        lambda: collections.deque(range(size)),
        lambda: list,
        lambda: str,
        lambda: dict,
        lambda: type,
        lambda: fractions.Fraction(size, 3),
        lambda: decimal.Decimal(size) / 4,
        lambda: complex(size, 1),
        lambda: rowmint,
        lambda: rowmint.replace,
        lambda: object(),
        lambda: slice(size),
        lambda: frozenset(range(size)),
    ))()


def value(r, depth=0):
    tag = r.byte() % 16
    if tag == 0:
        return r.int16()
    if tag == 1:
        return r.choice((1, -1)) * r.choice(HUGE) + (r.byte() - 128)
    if tag == 2:
        return r.flag()
    if tag == 3:
        return r.choice(FLOATS)
    if tag == 4:
        return r.choice((None, Ellipsis, NotImplemented))
    if tag == 5:
        return r.take(r.size(3000)).decode("utf-8", "surrogateescape")
    if tag == 6:
        text = r.choice(TEMPLATES)
        cut = r.u16()
        return text[:cut] if cut < len(text) else text
    if tag == 7:
        return r.take(r.size(600))
    if tag == 8:
        return bytearray(r.take(r.size(600)))
    if tag == 9:
        if depth < 2 and r.flag():
            return [value(r, depth + 1) for _ in range(r.byte() % 4)]
        return list(r.take(r.size(600)))
    if tag == 10:
        if depth < 2 and r.flag():
            return tuple(value(r, depth + 1) for _ in range(r.byte() % 4))
        return tuple(r.take(r.size(600)))
    if tag == 11:
        return {i: b for i, b in enumerate(r.take(r.size(40)))}
    if tag == 12:
        cls = odd_class(r.byte() % 7, r.byte() % 8, r.byte() % 8, r.byte() % 4)
        return cls(r.int16())
    if tag == 13:
        cls = r.choice(STR_CLASSES)
        return cls(r.choice(TEMPLATES)[:r.u16()])
    if tag == 14:
        cls = r.choice(INT_CLASSES)
        number = r.int16()
        return cls(number % 2) if cls is bool else cls(number)
    return misc_value(r)


def build_call(r):
    """Positional arguments and a keyword dict, in the order the caller gives them."""
    positional = r.byte() % 7
    layout = r.byte()
    args = tuple(value(r) for _ in range(positional))
    kwargs = {}
    for i, name in enumerate(NAMES):
        if layout & (1 << i):
            kwargs[name] = value(r)
    for _ in range((layout >> 4) % 4):
        name = r.choice(KEYWORD_NAMES)
        kwargs[name] = value(r)
    return args, kwargs


# ---------------------------------------------------------------------------
# The model.

COUNT = "replace() takes exactly 4 positional arguments (%d given)"


def bind(args, kwargs):
    if not kwargs:
        if len(args) != 4:
            raise TypeError(COUNT % len(args))
        return args
    if len(args) > 4:
        raise TypeError(COUNT % len(args))
    bound = list(args)
    for i in range(len(args), 4):
        if NAMES[i] not in kwargs:
            raise TypeError(COUNT % i)
        bound.append(kwargs[NAMES[i]])
    if len(kwargs) > 4 - len(args):
        for key in kwargs:
            if not isinstance(key, str):
                raise TypeError("replace() keywords must be strings")
            if key in NAMES[:len(args)]:
                raise TypeError("replace() got multiple values for keyword argument '%s'" % str.__str__(key))
            if key not in NAMES:
                raise TypeError("replace() got an unexpected keyword argument '%s'" % str.__str__(key))
    return tuple(bound)


_TYPE_NAME = re.compile(r"memoryview: a bytes-like object is required, not '(.*)'\Z", re.S)


def c_type_name(obj):
    """The type name the interpreter prints for obj (module-qualified for C types)."""
    try:
        memoryview(obj)
    except TypeError as exc:
        match = _TYPE_NAME.match(str(exc))
        if match:
            return match.group(1)
    return type(obj).__name__


def sliced(obj, start, stop):
    """obj[start:stop] through the mapping subscript of obj's type only.

    A type with no subscript at all, or only the sequence item of a C type
    (which cannot take a slice, as collections.deque), is unsliceable.
    """
    unsliceable = TypeError("'%.200s' object is unsliceable" % c_type_name(obj))
    if not hasattr(type(obj), "__getitem__"):
        raise unsliceable
    try:
        return obj[start:stop]
    except TypeError as exc:
        if str(exc) == "sequence index must be integer, not 'slice'":
            raise unsliceable from None
        raise


def model(args, kwargs):
    start, lenth, text, repstr = bind(args, kwargs)
    start = start + 11
    head = sliced(text, 0, start)
    head_and_new = head + repstr
    resume = start + lenth
    tail = sliced(text, resume, None)
    return head_and_new + tail


def outcome(call):
    try:
        return ("returned", call())
    except Exception as exc:  # noqa: BLE001 - the exception is what is compared
        return ("raised", type(exc), str(exc))


def same_value(a, b):
    if type(a) is not type(b):
        return False
    try:
        if a == b:
            return True
    except Exception:  # noqa: BLE001 - odd objects may refuse to compare
        pass
    return repr(a) == repr(b)  # nan inside containers, objects without ==


def snapshot(args, kwargs):
    values = list(args) + list(kwargs.values())
    return [repr(v) for v in values if isinstance(v, (list, bytearray, dict, collections.deque, array.array))]


def TestOneInput(data):
    r = Reader(data)
    args, kwargs = build_call(r)
    before = snapshot(args, kwargs)
    expected = outcome(lambda: model(args, kwargs))
    got = outcome(lambda: rowmint.replace(*args, **kwargs))
    if got[0] == "raised" and issubclass(got[1], SystemError):
        raise AssertionError("SystemError from replace: %r" % (got,))
    if got[0] != expected[0]:
        raise AssertionError("replace%r %r gave %r, expected %r" % (args, kwargs, got, expected))
    if got[0] == "raised":
        if got[1:] != expected[1:]:
            raise AssertionError("replace%r %r raised %r, expected %r" % (args, kwargs, got, expected))
    elif not same_value(got[1], expected[1]):
        raise AssertionError("replace%r %r returned %r, expected %r" % (args, kwargs, got[1], expected[1]))
    if snapshot(args, kwargs) != before:
        raise AssertionError("replace changed its arguments: %r" % (args,))


def instrument_this_module():
    """Coverage of the input decoding and the model guides the fuzzer."""
    for obj in list(globals().values()):
        if isinstance(obj, types.FunctionType) and obj.__module__ == __name__:
            atheris.instrument_func(obj)


def main():
    instrument_this_module()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
