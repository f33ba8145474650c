"""Message values as compact JSON text, character for character as `plim_ffi.Link` writes its own.

`Link` writes only what the plim sends. The host's messages, and messages the client already
holds as values, are written here by the same rules, so that every text the tools put out reads
alike: no whitespace, floats as the shortest digits that read back as the same 32-bit float
(".0" on whole numbers, exponents with a sign), null for NaN and the infinities.
"""
from __future__ import annotations

import json
import math
import struct
from typing import Any

_F32 = struct.Struct("<f")
_BITS = struct.Struct("<I")


def _as_f32(value: float) -> float:
    try:
        return float(_F32.unpack(_F32.pack(value))[0])
    except OverflowError:
        return math.copysign(math.inf, value)


def _shortest(value: float) -> tuple[str, int]:
    """(digits, decimal exponent of the first digit) of a positive finite float32 value."""
    bits = _BITS.unpack(_F32.pack(value))[0]
    power_of_two = bits & 0x7FFFFF == 0 and bits >> 23 > 1
    for precision in range(9):
        text = f"{value:.{precision}e}"  # the nearest decimal of that length, ties to even
        candidates = [text]
        if power_of_two:
            # Below a power of two the floats lie twice as close, so the nearest decimal may fall
            # outside the value's rounding interval on that side while the next one up is inside.
            candidates.append(_next_up(text, precision))
        for candidate in candidates:
            try:
                if _F32.unpack(_F32.pack(float(candidate)))[0] == value:
                    mantissa, exponent = candidate.split("e")
                    return mantissa.replace(".", "").rstrip("0") or "0", int(exponent)
            except OverflowError:  # beyond the largest float32
                continue
    raise AssertionError(f"no decimal reads back as {value!r}")  # nine digits always do


def _next_up(text: str, precision: int) -> str:
    """The decimal one unit in the last place above `text` (of the form d.ddde±x), at the same length."""
    mantissa, exponent = text.split("e")
    digits, power = str(int(mantissa.replace(".", "")) + 1), int(exponent)
    if len(digits) > precision + 1:  # 9.99 went up to 10.00
        digits, power = digits[:-1], power + 1
    return f"{digits[0]}.{digits[1:]}e{power}" if precision else f"{digits}e{power}"


def f32_text(value: float | None) -> str:
    """A float as Link writes a 32-bit float field (the value is first rounded to 32 bits)."""
    if value is None:
        return "null"
    value = _as_f32(value)
    if not math.isfinite(value):
        return "null"
    if value == 0.0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    sign = "-" if value < 0 else ""
    digits, exponent = _shortest(abs(value))
    count = len(digits)
    if -7 < exponent < 13:
        if exponent >= count - 1:
            return f"{sign}{digits}{'0' * (exponent - count + 1)}.0"
        if exponent >= 0:
            return f"{sign}{digits[:exponent + 1]}.{digits[exponent + 1:]}"
        return f"{sign}0.{'0' * (-exponent - 1)}{digits}"
    fraction = f".{digits[1:]}" if count > 1 else ""
    return f"{sign}{digits[0]}{fraction}e{'-' if exponent < 0 else '+'}{abs(exponent)}"


def message_text(value: Any) -> str:
    """A message (or any part of one) as compact JSON: floats as 32-bit floats, ints as they are."""
    if isinstance(value, str):
        # Link escapes exactly what json escapes without ensure_ascii: quote, backslash, controls.
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, dict):
        return "{" + ",".join(f"{json.dumps(str(key), ensure_ascii=False)}:{message_text(item)}"
                              for key, item in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(map(message_text, value)) + "]"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return f32_text(value)
    if value is None:
        return "null"
    raise TypeError(f"a message holds no {type(value).__name__}")
