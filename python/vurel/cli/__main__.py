"""``python -m vurel.cli``: the ``vurel`` command."""

import sys

from vurel.cli import main

if __name__ == "__main__":
    sys.exit(main())
