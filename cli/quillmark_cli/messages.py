"""The quillmark module's messages that the tool tells apart, each written once here.

They are part of the module's interface, word for word (README, "Error messages"); the tool
compares with these names only, never with a copy of the text.
"""

NO_TABLE = "no C2PA table found in font"
NO_STORE = "invalid C2PA table: C2PA table has no embedded manifest store"
NOT_SFNT = "not a supported SFNT (TrueType/OpenType) font"
COLLECTION = "font collections (ttcf) are not supported"
WOFF = "WOFF/WOFF2 fonts are not supported; decompress to SFNT first"

# What the module says of a file that is no SFNT font at all: decided by its first bytes.
NOT_A_FONT = frozenset({NOT_SFNT, COLLECTION, WOFF})

# Every message about the font's own structure (its directory, its tables' bounds) starts so.
INVALID_FONT = "invalid font: "


def unusable_font(message: str) -> bool:
    """Whether the module refused the file as a font at all, rather than its C2PA table."""
    return message in NOT_A_FONT or message.startswith(INVALID_FONT)
