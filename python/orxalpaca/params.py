"""Request parameters: names matched without regard to case, values parsed
the Alpaca way (a value that cannot be parsed is a bad request)."""
from __future__ import annotations

import math
from typing import Mapping


class BadRequest(Exception):
    """Answered with HTTP 400 and the message as plain text."""


class Params:
    def __init__(self, items: Mapping[str, str]) -> None:
        self._items = {}
        for key, value in items.items():
            self._items.setdefault(key.lower(), value)

    def _raw(self, name: str) -> str:
        value = self._items.get(name.lower())
        if value is None:
            raise BadRequest(f"missing parameter {name}")
        return value.strip()

    def int(self, name: str) -> int:
        text = self._raw(name)
        try:
            return int(text, 10)
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
            value = float(text)
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
        text = self._items.get(name.lower(), "").strip()
        if text.isdigit():
            value = int(text)
            if value <= 0xFFFFFFFF:
                return value
        return 0
