"""Entry point of ``python -m ledgerly``; see ledgerly.cli."""

import sys

from ledgerly.cli import main

if __name__ == "__main__":
    sys.exit(main())
