"""Checks and conversions of the arguments that open a session."""

from __future__ import annotations

from typing import Iterable, Optional, Tuple, Union

from . import _native

# One set of default addresses for every program of the project (the
# simulator, the client, the recorder and this package).
_D = _native.DEFAULTS

_FLAGS = {"trade": 2, "order": 4, "queue": 8}
_UPDATE_MODES = {"all": 0, "replace": 1, "add": 2, "remove": 3}

def _endpoint(text: str, what: str, default_port: Optional[int] = None) -> Tuple[str, int]:
    host, sep, port = str(text).rpartition(":")
    if not sep:
        host, port = str(text), ""
    if not port:
        if default_port is None or sep:
            raise ValueError(f"{what}: '{text}' is not IP:PORT")
        return _ip(host, what), default_port
    try:
        p = int(port)
    except ValueError:
        raise ValueError(f"{what}: '{text}' has no valid port") from None
    if not 0 < p < 65536:
        raise ValueError(f"{what}: port {p} is outside 1..65535")
    return _ip(host, what), p

def _ip(text: str, what: str) -> str:
    parts = text.split(".")
    if len(parts) != 4 or not all(p.isdigit() and int(p) < 256 for p in parts):
        raise ValueError(f"{what}: '{text}' is not a dotted IPv4 address")
    return text

def _text(value: str, what: str, limit: int) -> str:
    value = str(value)
    if len(value.encode()) > limit:
        raise ValueError(f"{what}: at most {limit} bytes")
    return value

def _codes_text(codes: Union[str, Iterable[str], None]) -> str:
    if codes is None:
        return ""
    if isinstance(codes, str):
        return codes
    return ";".join(codes)

def _flag_bits(flags: Union[str, Iterable[str], int]) -> int:
    if isinstance(flags, int):
        return flags
    if isinstance(flags, str):
        flags = [f for f in flags.replace(";", ",").split(",") if f]
    bits = 0
    for f in flags:
        try:
            bits |= _FLAGS[f.strip().lower()]
        except KeyError:
            raise ValueError(f"flags: unknown kind '{f}' (trade, order, queue)") from None
    return bits
