"""Request parameters, values parsed the Alpaca way (a value that cannot be
parsed is a bad request). Query parameter names (GET) match in any casing;
form field names (PUT) only as written in the interface, and a wrongly cased
one is as good as absent."""
from __future__ import annotations

import math
from typing import Mapping


class BadRequest(Exception):
    """Answered with HTTP 400 and the message as plain text."""


_DIGITS = frozenset("0123456789")
#: digits a parameter may have: int() refuses longer numbers, and no Alpaca value needs them
MAX_DIGITS = 40


def integer(text: str) -> int:
    """A decimal integer in ASCII digits with an optional sign; ValueError otherwise."""
    digits = text[1:] if text[:1] in "+-" else text
    if not digits or len(digits) > MAX_DIGITS or not _DIGITS.issuperset(digits):
        raise ValueError(text)
    return int(text, 10)


class Params:
    def __init__(self, items: Mapping[str, str], exact: bool = False) -> None:
        self.exact = exact
        self._items: dict[str, str] = {}
        for key, value in items.items():
            self._items.setdefault(key if exact else key.lower(), value)

    def _get(self, name: str) -> "str | None":
        return self._items.get(name if self.exact else name.lower())

    def _raw(self, name: str) -> str:
        value = self._get(name)
        if value is None:
            raise BadRequest(f"missing parameter {name}")
        return value.strip()

    def int(self, name: str) -> int:
        text = self._raw(name)
        try:
            return integer(text)
        except ValueError:
            raise BadRequest(f"parameter {name}={text!r} is not an integer") from None

    def member(self, name: str, members: Mapping[str, int]) -> int:
        """An integer, or an enumeration member written as ``Type.member``:
        clients on Python before 3.11 format integer enumerations that way."""
        text = self._raw(name)
        _, dot, member = text.rpartition(".")
        if dot and member in members:
            return members[member]
        return self.int(name)

    def float(self, name: str) -> float:
        text = self._raw(name)
        try:
            # ASCII only: float() also reads other scripts' digits
            value = float(text) if text.isascii() and len(text) <= 64 else math.nan
        except ValueError:
            value = math.nan
        if not math.isfinite(value):
            raise BadRequest(f"parameter {name}={text!r} is not a finite number")
        return value

    def bool(self, name: str) -> bool:
        text = self._raw(name)
        if text.lower() == "true":
            return True
        if text.lower() == "false":
            return False
        raise BadRequest(f"parameter {name}={text!r} is not true or false")

    def str(self, name: str) -> str:
        return self._raw(name)

    def transaction_id(self, name: str) -> int:
        """A client's id number: 0 when absent or not an unsigned 32-bit integer."""
        text = (self._get(name) or "").strip()
        try:
            value = integer(text)
        except ValueError:
            return 0
        return value if 0 <= value <= 0xFFFFFFFF else 0
