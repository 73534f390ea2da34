"""CBOR as C2PA uses it: deterministic encoding, and decoding in bounded work and memory.

`decode` first walks the document's item heads without building anything (`scan`), checking that
it is one well-formed data item (RFC 8949, Appendix C) and within the limits below, and only then
hands it to cbor2. A decoder builds one Python object per item, some 60 to 230 bytes for an item
that may take one byte of input (an empty map), so without a bound a 10 MB claim of empty maps
costs the better part of a gigabyte; with it, no document decodes to more than about
MAX_ITEMS objects, whatever its size.
"""

from __future__ import annotations

from typing import Any, Optional, Tuple

import cbor2

# Limits for decoding one CBOR document (a claim, an assertion). The largest documents C2PA puts
# in a font's store are box-hash assertions: a few items per table, a few hundred items for a real
# font. Validation reports a document past a limit with the code for invalid CBOR of what it is
# (claim.cbor.invalid, assertion.cbor.invalid), its explanation naming the limit.
MAX_ITEMS = 1 << 19  # data items in one document (524,288)
# Decoded documents are kept (for the results and for `show`), so the items of all the documents of
# one store count together too: one item per STORE_BYTES_PER_ITEM bytes of the store plus
# STORE_ITEMS_ALLOWANCE, at most MAX_STORE_ITEMS. A real store holds far fewer (a box hash, the
# densest, has an item per eight or nine bytes, and the signature and thumbnails few); a store of
# empty maps decodes to some 64 bytes per byte without it.
STORE_BYTES_PER_ITEM = 16
STORE_ITEMS_ALLOWANCE = 1 << 16
MAX_STORE_ITEMS = 1 << 20
MAX_DEPTH = 64  # arrays, maps, tags and indefinite strings open at once
# Map keys other than text or byte strings: Python hashes integers and floats without a secret
# seed, so a map of many colliding integer keys costs time quadratic in its size to build.
MAX_OTHER_KEYS = 1024
# Tags that make one encoded item stand for another decoded one (value sharing, 28 and 29; string
# references, 25 and 256): C2PA does not use them, and they would undo the bound on decoded size.
SHARING_TAGS = frozenset({25, 28, 29, 256})


class Budget:
    """Items that decoding may still build, shared by every document of one validation: the
    decoded claims and assertions are kept (for the results and for `show`), so the limit on one
    document alone would let many documents add up."""

    __slots__ = ("left", "total")

    def __init__(self, items: int) -> None:
        self.left = self.total = items

    @classmethod
    def for_store(cls, size: int) -> "Budget":
        return cls(min(MAX_STORE_ITEMS, size // STORE_BYTES_PER_ITEM + STORE_ITEMS_ALLOWANCE))


class CborError(ValueError):
    """The data is not one well-formed CBOR item, or is past a limit (`limit` is then True)."""

    def __init__(self, message: str, limit: bool = False) -> None:
        super().__init__(message)
        self.limit = limit


def encode(value: Any) -> bytes:
    """Deterministic CBOR (RFC 8949, 4.2.1), as C2PA 2.2 asks of claims (10.1) and assertions (18.1)."""
    encoded: bytes = cbor2.dumps(value, canonical=True)
    return encoded


# Kinds of open containers in `scan`.
_ARRAY, _MAP, _STRING = 0, 1, 2


def scan(data: bytes, start: int = 0, *, max_items: int = MAX_ITEMS, max_depth: int = MAX_DEPTH,
         definite_only: bool = False) -> int:  # fmt: skip
    """Walks the one CBOR data item that starts at `start` and returns where it ends. Raises
    CborError if it is not well-formed or is past a limit, or, with `definite_only`, holds an
    item of indefinite length (as `cose` reads claim signatures). Builds nothing per item: the work
    is one step per item head, and the memory one small list per open container."""
    return scan_items(data, start, max_items=max_items, max_depth=max_depth, definite_only=definite_only)[0]


def scan_items(data: bytes, start: int = 0, *, max_items: int = MAX_ITEMS, max_depth: int = MAX_DEPTH,
               definite_only: bool = False) -> Tuple[int, int]:  # fmt: skip
    """`scan`, returning (where the item ends, how many data items it holds)."""
    end, pos, items, other_keys = len(data), start, 0, 0
    # Per open container: [kind, items left (-1 when of indefinite length), items read, major type
    # of the chunks (indefinite strings)].
    stack: list[list[int]] = []
    while True:
        if pos >= end:
            raise CborError(f"CBOR ends inside an item at offset {pos}")
        at = pos  # where this item's head starts, for messages
        head = data[pos]
        pos += 1
        major, info = head >> 5, head & 31
        top = stack[-1] if stack else None
        if head == 0xFF:  # "break": closes the innermost container of indefinite length
            if top is None or top[1] != -1:
                raise CborError(f"CBOR break code at offset {at} outside an indefinite-length item")
            if top[0] == _MAP and top[2] % 2:
                raise CborError(f"CBOR map ending at offset {at} has a key without a value")
            stack.pop()
        else:
            items += 1
            if items > max_items:
                raise CborError(f"CBOR document has more than {max_items} items", limit=True)
            if top is not None and top[0] == _MAP and top[2] % 2 == 0 and major not in (2, 3):
                other_keys += 1
                if other_keys > MAX_OTHER_KEYS:
                    raise CborError(f"CBOR document has more than {MAX_OTHER_KEYS} map keys that are not strings",
                                    limit=True)  # fmt: skip
            if info < 24:
                arg = info
            elif info < 28:
                size = 1 << (info - 24)
                if end - pos < size:
                    raise CborError(f"CBOR item head at offset {at} runs past the end")
                arg = int.from_bytes(data[pos : pos + size], "big")
                pos += size
            elif info == 31 and major in (2, 3, 4, 5):
                if definite_only:
                    raise CborError(f"CBOR item at offset {at} has an indefinite length")
                arg = -1
            else:
                raise CborError(f"CBOR item at offset {at} has a reserved or misplaced length code {info}")
            if top is not None and top[0] == _STRING and (major != top[3] or arg == -1):
                raise CborError(f"chunk at offset {at} of an indefinite-length string is not a definite string"
                                " of the same type")  # fmt: skip
            opened = None
            if major in (2, 3):
                if arg == -1:
                    opened = [_STRING, -1, 0, major]
                elif arg > end - pos:
                    raise CborError(f"CBOR string at offset {at} runs past the end")
                else:
                    pos += arg
            elif major in (4, 5):
                count = arg * 2 if major == 5 and arg > 0 else arg
                # Every item takes at least one byte: a count larger than what is left is false.
                if count > end - pos:
                    raise CborError(f"CBOR {'map' if major == 5 else 'array'} at offset {at} announces more"
                                    " items than the bytes left")  # fmt: skip
                if count:
                    opened = [_MAP if major == 5 else _ARRAY, count, 0, 0]
            elif major == 6:
                if arg in SHARING_TAGS:
                    raise CborError(f"CBOR tag {arg} (shared values or string references) is not decoded",
                                    limit=True)  # fmt: skip
                opened = [_ARRAY, 1, 0, 0]  # a tag is followed by exactly one item
            elif major == 7 and info == 24 and arg < 32:
                raise CborError(f"CBOR simple value {arg} at offset {at} is not well-formed in two bytes")
            if opened is not None:
                if len(stack) >= max_depth:
                    raise CborError(f"CBOR nests more than {max_depth} deep", limit=True)
                stack.append(opened)
                continue
        # An item is complete: count it in its container, closing every container it completes.
        while stack:
            top = stack[-1]
            top[2] += 1
            if top[1] == -1 or top[2] < top[1]:
                break
            stack.pop()
        else:
            return pos, items


def decode(data: bytes, *, max_items: int = MAX_ITEMS, max_depth: int = MAX_DEPTH,
           budget: Optional[Budget] = None) -> Any:  # fmt: skip
    """The value of `data`, which must be exactly one well-formed CBOR data item within the limits
    (and the `budget` of items left, which it spends). Raises CborError with a one-line reason
    otherwise."""
    data = bytes(data)
    if not data:
        raise CborError("no CBOR data: the content is empty")
    limit = min(max_items, budget.left) if budget is not None else max_items
    try:
        end, items = scan_items(data, max_items=limit, max_depth=max_depth)
    except CborError as e:
        if budget is not None and limit < max_items and str(e) == f"CBOR document has more than {limit} items":
            raise CborError(f"the store's CBOR and JSON documents together hold more than {budget.total} items"
                            f" (one per {STORE_BYTES_PER_ITEM} bytes of the store plus {STORE_ITEMS_ALLOWANCE},"
                            f" at most {MAX_STORE_ITEMS})", limit=True) from None  # fmt: skip
        raise
    if end != len(data):
        raise CborError(f"{len(data) - end} bytes follow the CBOR item")
    if budget is not None:
        budget.left -= items
    try:
        return cbor2.loads(data)
    except RecursionError:
        raise CborError("CBOR nests too deep to decode", limit=True) from None
    except (cbor2.CBORError, ValueError, TypeError, OverflowError, LookupError, ArithmeticError) as e:
        raise CborError(f"CBOR does not decode: {str(e)[:200]}") from None
