"""When the C2PA Trust List and the C2PA TSA Trust List shipped in data/ were issued (their
ListIssueDateTime, see data/TRUST-LISTS.txt), in a module that imports nothing heavy:
`quillmark --version` prints the date without loading `trust` and the cryptography library."""

from __future__ import annotations

import datetime

TRUST_LIST_ISSUED = datetime.date(2026, 8, 5)
TRUST_LIST_NEXT_UPDATE = datetime.date(2027, 8, 5)  # a year after the issue
