"""A small, bounds-checked reader of JUMBF boxes, as C2PA frames a Manifest Store (C2PA 2.2,
section 11.1, after ISO 19566-5).

Every length read from the data is checked against the box that holds it before it is used, so a
hostile store is refused with a JumbfError that says what and where, never with an IndexError, a
huge allocation or a deep recursion; one read makes at most MAX_BOXES box objects, nested at most
MAX_DEPTH deep. Offsets in messages count from the start of the data handed
to `read_superbox`.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Optional, Union

# jumd TYPE UUIDs: four characters, then the ISO suffix shared by all of them (C2PA 2.2, 11.1.4.2-4).
_SUFFIX = bytes.fromhex("00110010800000AA00389B71")
MANIFEST_STORE = b"c2pa" + _SUFFIX
MANIFEST = b"c2ma" + _SUFFIX
LEGACY_MANIFEST = b"c2md" + _SUFFIX  # readers accept it (C2PA 2.2, 11.2.2)
UPDATE_MANIFEST = b"c2um" + _SUFFIX
COMPRESSED_MANIFEST = b"c2cm" + _SUFFIX
ASSERTION_STORE = b"c2as" + _SUFFIX
CLAIM = b"c2cl" + _SUFFIX
CLAIM_SIGNATURE = b"c2cs" + _SUFFIX
CBOR = b"cbor" + _SUFFIX

# The superboxes whose content is read in turn; any other's content boxes are left unread, so
# what a reader does not know is skipped whole (C2PA 2.2, 11.1.2).
CONTAINERS = (MANIFEST_STORE, MANIFEST, LEGACY_MANIFEST, UPDATE_MANIFEST, ASSERTION_STORE)

# Toggles of the description box (ISO 19566-5; C2PA 2.2, 11.1.4.1.2).
REQUESTABLE, LABEL, ID, SIGNATURE, PRIVATE = 0x01, 0x02, 0x04, 0x08, 0x10

# A Manifest Store nests four deep (store, manifest, assertion store, assertion); an assertion
# may hold boxes of its own. Anything far deeper is refused rather than followed.
MAX_DEPTH = 16
# The most boxes one read of a store makes objects for. A real manifest is some thirty boxes,
# so this is room for about two thousand manifests; without it a store of eight-byte boxes
# costs some 270 bytes of objects per 8 bytes of input (549 MB for a 16 MB store).
MAX_BOXES = 1 << 16
# The longest label read, in bytes. C2PA's labels are short (a manifest's URN is under 100 bytes
# with its claim generator identifier and version, an assertion's label a few dozen); each is
# repeated in the JUMBF URI of every box below it, so a long manifest label costs its length per
# assertion of the manifest, however small the assertion.
MAX_LABEL = 256


class JumbfError(ValueError):
    """The data is not well-formed JUMBF, or is past a limit (`limit` is then True); the message
    says what and where."""

    def __init__(self, message: str, limit: bool = False) -> None:
        super().__init__(message)
        self.limit = limit


class Budget:
    """How many more boxes a read may make (MAX_BOXES by default), shared by every call of one
    read of a store."""

    __slots__ = ("left",)

    def __init__(self, boxes: int = MAX_BOXES) -> None:
        self.left = boxes

    def spend(self, at: int) -> None:
        self.left -= 1
        if self.left < 0:
            raise JumbfError(f"more than {MAX_BOXES} boxes (at offset {at})", limit=True)


@dataclass(frozen=True)
class Box:
    """One box: its type (TBox), where it starts, where its payload starts and where it ends."""

    __slots__ = ("type", "start", "payload", "end")
    type: bytes
    start: int
    payload: int
    end: int


@dataclass(frozen=True)
class Description:
    """A jumd box's fields."""

    type: bytes
    toggles: int
    label: Optional[str]


@dataclass
class Superbox:
    """A jumb box: its description and its content boxes. Inside the containers (the Manifest
    Store, a manifest, an assertion store) nested superboxes are read in turn; any other box is
    kept unread."""

    box: Box
    description: Description
    children: list[Union[Superbox, Box]] = field(default_factory=list)

    def superboxes(self, kind: bytes, label: Optional[str] = None) -> list[Superbox]:
        """The child superboxes of a jumd type (and label, when given), in order."""
        return [
            c
            for c in self.children
            if isinstance(c, Superbox) and c.description.type == kind and label in (None, c.description.label)
        ]


def read_box(data: bytes, start: int, end: int) -> Box:
    """The box whose header is at `start`, inside a container that ends at `end`."""
    if end - start < 8:
        raise JumbfError(f"{end - start} bytes at offset {start} are too few for a box header")
    length, kind = struct.unpack_from(">I4s", data, start)
    payload = start + 8
    if length == 1:  # a 64-bit XLBox follows the type
        if end - start < 16:
            raise JumbfError(f"box at offset {start} has a 64-bit length that runs past its container")
        (length,) = struct.unpack_from(">Q", data, payload)
        payload += 8
        if length < 16:
            raise JumbfError(f"box at offset {start} has a 64-bit length of {length}, under its 16-byte header")
    elif length == 0:  # runs to the end of its container
        length = end - start
    elif length < 8:
        raise JumbfError(f"box at offset {start} has length {length}; a box is at least 8 bytes")
    if length > end - start:
        raise JumbfError(
            f"box '{shown_type(kind)}' at offset {start} is {length} bytes, past the end of its container"
            f" ({end - start} bytes left)"
        )
    return Box(kind, start, payload, start + length)


def read_boxes(data: bytes, start: int, end: int, budget: Optional[Budget] = None) -> list[Box]:
    """The boxes that fill [start, end) one after another, exactly."""
    boxes = []
    while start < end:
        if budget is not None:
            budget.spend(start)
        box = read_box(data, start, end)
        boxes.append(box)
        start = box.end
    return boxes


def read_description(data: bytes, box: Box) -> Description:
    if box.type != b"jumd":
        raise JumbfError(f"superbox at offset {box.start} starts with '{shown_type(box.type)}', not a description box")
    at, end = box.payload, box.end
    if end - at < 17:
        raise JumbfError(f"description box at offset {box.start} is shorter than its type and toggles")
    kind, toggles = data[at : at + 16], data[at + 16]
    label = None
    if toggles & LABEL:
        nul = data.find(b"\0", at + 17, min(end, at + 17 + MAX_LABEL + 1))
        if nul < 0:
            if end - (at + 17) > MAX_LABEL:
                raise JumbfError(f"label of the description box at offset {box.start} is longer than {MAX_LABEL} bytes",
                                 limit=True)  # fmt: skip
            raise JumbfError(f"label of the description box at offset {box.start} has no terminating NUL")
        try:
            label = data[at + 17 : nul].decode("utf-8")
        except UnicodeDecodeError:
            raise JumbfError(f"label of the description box at offset {box.start} is not UTF-8") from None
        at = nul + 1
    if toggles & ID:
        at += 4
    if toggles & SIGNATURE:
        at += 32
    if at > end:
        raise JumbfError(f"description box at offset {box.start} is shorter than the fields its toggles announce")
    if toggles & PRIVATE:  # one box, such as C2PA's salt box (C2PA 2.2, 11.1.4.1.2)
        read_box(data, at, end)
    return Description(bytes(kind), toggles, label)


def read_superbox(data: bytes, box: Box, depth: int = 0, budget: Optional[Budget] = None) -> Superbox:
    """The jumb superbox `box` with everything inside it, in at most MAX_BOXES boxes (counted
    over one read when a `budget` is passed down)."""
    if budget is None:
        budget = Budget()
    if box.type != b"jumb":
        raise JumbfError(f"box at offset {box.start} is '{shown_type(box.type)}', not a JUMBF superbox ('jumb')")
    if depth >= MAX_DEPTH:
        raise JumbfError(f"superboxes nest more than {MAX_DEPTH} deep at offset {box.start}")
    inner = read_boxes(data, box.payload, box.end, budget)
    if not inner:
        raise JumbfError(f"superbox at offset {box.start} is empty: it has no description box")
    superbox = Superbox(box, read_description(data, inner[0]))
    container = superbox.description.type in CONTAINERS
    for child in inner[1:]:
        nested = container and child.type == b"jumb"
        superbox.children.append(read_superbox(data, child, depth + 1, budget) if nested else child)
    return superbox


def shown_type(kind: bytes) -> str:
    """A box type for a message: printable ASCII as is, anything else as \\xNN."""
    return "".join(chr(b) if 0x20 < b < 0x7F else f"\\x{b:02x}" for b in kind)


# -- writing ---------------------------------------------------------------------------------------

# Label present and requestable (C2PA 2.2, 11.1.4.1.2).
TOGGLES = REQUESTABLE | LABEL


def box(kind: bytes, payload: bytes) -> bytes:
    """A box with a 32-bit length (LBox), or a 64-bit one (XLBox) when it does not fit."""
    if 8 + len(payload) <= 0xFFFFFFFF:
        return struct.pack(">I4s", 8 + len(payload), kind) + payload
    return struct.pack(">I4sQ", 1, kind, 16 + len(payload)) + payload


def description(kind: bytes, label: str, salt: Optional[bytes] = None) -> bytes:
    """A jumd box: type, toggles, the label with its NUL, and a salt box (c2sh) when given."""
    toggles = TOGGLES | (PRIVATE if salt is not None else 0)
    private = box(b"c2sh", salt) if salt is not None else b""
    return box(b"jumd", kind + bytes([toggles]) + label.encode("utf-8") + b"\0" + private)


def superbox(kind: bytes, label: str, *content: bytes, salt: Optional[bytes] = None) -> bytes:
    """A jumb superbox: its description box, then the content boxes."""
    return box(b"jumb", description(kind, label, salt) + b"".join(content))
