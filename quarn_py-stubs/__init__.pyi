"""Type information for the quarn_py extension module."""

from collections.abc import Sequence
from typing import SupportsIndex

def tokenize(text: str) -> list[str]:
    """Lower-cased words of ``text``, in order."""

def extract_entities(text: str) -> list[dict[str, str | int]]:
    """Dictionary terms found in ``text``: dicts with the keys ``text`` (str),
    ``type`` (str), ``start`` and ``end`` (int, UTF-8 byte offsets into the
    lower-cased text)."""

def create_audit(
    note_id: str, entities_json: str, timestamp: SupportsIndex | None = None
) -> str:
    """A JSON audit record sealing ``entities_json`` with a BLAKE3 hash.
    ``timestamp`` is whole seconds since the Unix epoch (0 to 2**64 - 1);
    None stamps the current time."""

def verify_audit(audit_json: str, entities_json: str) -> bool:
    """Whether the record's hash matches ``entities_json``, byte for byte.
    Raises ValueError for a record that is not JSON or has no hash."""

def compile_source(source: str) -> dict[str, bool | list[int] | str]:
    """``{"success": True, "bytecode": [...]}`` (byte values 0-255) or
    ``{"success": False, "error": "..."}``; never raises for bad source."""

def execute_bytecode(
    bytecode: bytes | bytearray | Sequence[SupportsIndex],
) -> dict[str, bool | str]:
    """Decodes a compiled program: ``{"success": True, "output":
    "Execution successful"}`` or ``{"success": False, "error": "..."}``.
    Nothing is run. ``bytecode`` must not be a str."""

def version() -> str:
    """``"quarn-py 0.1.1 (Quarn core 0.1.1)"``."""
