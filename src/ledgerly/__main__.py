"""Entry point of ``python -m ledgerly``; see ledgerly.host."""

import sys

from ledgerly.host import main

if __name__ == "__main__":
    sys.exit(main())
