"""Probe objects for the conversions: integers, sequences and items that run
Python code, raise, or lie about their length while palimp reads them."""

import collections.abc


def _raise(error, fresh):
    # A fresh exception each time, when asked: raising one instance again
    # and again would chain every traceback onto it.
    raise type(error)(*error.args) if fresh else error


class Index:
    """An integer-like object whose __index__ returns `value`, or raises it
    when it is an exception (a fresh copy each time with `fresh`)."""

    def __init__(self, value, fresh=False):
        self.value, self.fresh = value, fresh

    def __index__(self):
        if isinstance(self.value, BaseException):
            _raise(self.value, self.fresh)
        return self.value


class Items:
    """A plain sequence (no fast path applies): __len__ and __getitem__ only.
    __len__ raises `len_error`, and reading item `error_at` raises a fresh
    copy of `item_error`."""

    def __init__(self, items, len_error=None, item_error=None, error_at=1):
        self.items, self.len_error, self.item_error, self.error_at = list(items), len_error, item_error, error_at

    def __len__(self):
        if self.len_error:
            _raise(self.len_error, True)
        return len(self.items)

    def __getitem__(self, i):
        if self.item_error and i == self.error_at:
            _raise(self.item_error, True)
        return self.items[i]


class AbcItems(Items, collections.abc.Sequence):
    """The same, derived from collections.abc.Sequence."""


class Overstated:
    """A sequence whose __len__ promises 2**40 items; item access ends with
    IndexError after the real ones."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return 2**40

    def __getitem__(self, i):
        return self.items[i]


class AbcOverstated(Overstated, collections.abc.Sequence):
    """The same, derived from collections.abc.Sequence."""


class CallBack:
    """An item whose __index__ calls back into `target` (a PalimpTokens made
    with a tokenizer): render_texts, which needs the object to itself, when
    `exclusive`, then segments; returns 1."""

    def __init__(self, target, exclusive):
        self.target, self.exclusive = target, exclusive

    def __index__(self):
        if self.exclusive:
            self.target.render_texts("x")
        self.target.segments()
        return 1
