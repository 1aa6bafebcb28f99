"""Entry point of ``python -m ledgerly``; see ledgerly.cli."""

from ledgerly.cli import entry

if __name__ == "__main__":
    entry()
