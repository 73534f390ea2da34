"""`python -m quillmark_cli`: the same as the `quillmark` command."""

import sys

from quillmark_cli import main

sys.exit(main())
