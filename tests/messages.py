"""The texts of quillmark's errors, written once for the whole suite.

A test that pins a message takes its text from here, so that a change to a text in the module
is one change here, and a test that means a message cannot drift into a near copy of it. Texts
with a variable part are `str.format` templates; `pattern` turns one into a regular expression.
"""

from __future__ import annotations

import re

# ---- ValueError: the kind of failure, and for an invalid font or C2PA table its detail ----------

NO_C2PA = "no C2PA table found in font"
NOT_SFNT = "not a supported SFNT (TrueType/OpenType) font"
COLLECTION = "font collections (ttcf) are not supported"
WOFF = "WOFF/WOFF2 fonts are not supported; decompress to SFNT first"
INVALID_FONT = "invalid font: "
INVALID_C2PA = "invalid C2PA table: "

# The container. A tag is the directory entry's four bytes decoded as Latin-1, one character
# per byte: the rule box_hashes names boxes by, without their trailing spaces.
TRUNCATED = INVALID_FONT + "table directory truncated"
PAST_END = INVALID_FONT + "table {tag} extends past end of file"
# table_checksums, for directory entries that share bytes so much that summing every table would
# take more than twice the file (and 64 KiB).
TABLES_OVERLAP = INVALID_FONT + "the tables overlap: {total} bytes of tables in a {size}-byte file"
# box_hashes, for a font that has two tables of one tag.
TWO_TABLES_ONE_TAG = INVALID_FONT + "more than one table is tagged {tag}; a box hash could not tell them apart"

# The C2PA table, as the readers and the compliance check decode it.
SHORT = INVALID_C2PA + "table shorter than 20-byte header"
URI_PAST = INVALID_C2PA + "active manifest URI extends past end of table"
STORE_PAST = INVALID_C2PA + "manifest store extends past end of table"
BAD_UTF8 = INVALID_C2PA + "active manifest URI is not valid UTF-8"
NO_STORE = INVALID_C2PA + "C2PA table has no embedded manifest store"
SEVERAL_C2PA = INVALID_C2PA + "font contains {count} C2PA tables; at most one is allowed"

# The exclusion ranges, worked out from the header's store fields alone (a short table and a
# store past its end meet SHORT and STORE_PAST, as in the readers).
NOTHING_TO_BIND = INVALID_C2PA + "no embedded manifest store to bind"

# The writers.
RESERVE_ZERO = INVALID_C2PA + "reserve_size must be non-zero"
FILL_NO_STORE = INVALID_C2PA + "reserved font has no manifest store"
FILL_TOO_LONG = INVALID_C2PA + "signed manifest is {size} bytes but only {reserved} were reserved"
FILL_WOULD_MOVE = (
    INVALID_C2PA + "filling would change bytes outside the exclusion ranges; reserve the font again"
)

# box_hashes, for a hash algorithm hashlib does not offer under that name or C2PA does not allow.
BOX_HASHES_ALG = "box_hashes() alg must be 'sha256', 'sha384' or 'sha512', not '{alg}'"

# What the formats cannot describe, refused before anything is allocated. The directory's limits
# are details under either kind: "invalid font" when the font alone is rebuilt (removal),
# "invalid C2PA table" when a new C2PA table goes in.
URI_TOO_LONG = INVALID_C2PA + "active manifest URI is {size} bytes; at most 65535 fit the table"
STORE_TOO_LONG = INVALID_C2PA + "manifest store is {size} bytes; at most 4294967295 fit the table"
TOO_MANY_TABLES = "font would have {count} tables; at most 65535 fit the table directory"
TABLE_TOO_LONG = "table {tag} would be {size} bytes; at most 4294967295 fit the table directory"
TABLE_TOO_FAR = "table {tag} would start at offset {offset}; at most 4294967295 fit the table directory"

_DIRECTORY_LIMITS = [TOO_MANY_TABLES, TABLE_TOO_LONG, TABLE_TOO_FAR]

# Every text a ValueError of quillmark may carry.
VALUE_ERRORS = [
    NO_C2PA, NOT_SFNT, COLLECTION, WOFF,
    TRUNCATED, PAST_END, TABLES_OVERLAP, TWO_TABLES_ONE_TAG,
    SHORT, URI_PAST, STORE_PAST, BAD_UTF8, NO_STORE, SEVERAL_C2PA,
    NOTHING_TO_BIND,
    RESERVE_ZERO, FILL_NO_STORE, FILL_TOO_LONG, FILL_WOULD_MOVE, BOX_HASHES_ALG,
    URI_TOO_LONG, STORE_TOO_LONG,
    *(kind + detail for kind in (INVALID_FONT, INVALID_C2PA) for detail in _DIRECTORY_LIMITS),
]  # fmt: skip

# ---- The Python frame: binding and converting arguments, importing --------------------------

TOO_MANY_ARGUMENTS = "{name}() takes {takes} positional arguments but {given} {verb} given"
MISSING_ARGUMENTS = "{name}() missing {count} required positional {noun}: {names}"
UNEXPECTED_KEYWORD = "{name}() got an unexpected keyword argument '{key}'"
MULTIPLE_VALUES = "{name}() got multiple values for argument '{param}'"

# `target` is 'PyBytes' (fonts, signed manifests), 'PyString' (URIs) or 'Sequence' (stores).
CANNOT_CONVERT = "argument '{param}': '{type}' object cannot be converted to '{target}'"
# A type whose __qualname__ is missing or not a string is shown as this.
UNNAMED_TYPE = "<failed to extract type name>"
STORE_FROM_STR = "argument 'manifest_store': Can't extract `str` to `Vec`"
# An integer out of a parameter's range: the text names no argument.
OUT_OF_RANGE = "out of range integral type conversion attempted"
# The interpreter's own words for what __index__ refuses, with the argument named first.
NOT_AN_INTEGER = "argument '{param}': '{type}' object cannot be interpreted as an integer"

SUB_INTERPRETERS = "quillmark does not support sub-interpreters: it can be imported only into the main interpreter"


# What a field of a template may hold, where it is not a decimal number.
_FIELDS = {"tag": "[\x00-\xff]{4}", "alg": ".*"}


def pattern(template: str) -> re.Pattern[str]:
    """A regular expression that matches exactly the texts `template` formats to: a tag is four
    characters of Latin-1 (line feeds and NULs included), an algorithm's name any text, any other
    field a decimal number."""
    parts = re.split(r"\{(\w+)\}", template)
    regex = "".join(re.escape(part) if i % 2 == 0 else _FIELDS.get(part, r"\d+") for i, part in enumerate(parts))
    return re.compile(regex, re.S)
