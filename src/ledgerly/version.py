"""The package's version, written once: here. The wheel's metadata reads
it from this file, `ledgerly.__version__` is this, and the modules that
record or send the version (the saved state, price imports) import it
from here, so that none of them needs the package's own face."""

__version__ = "0.1.0"
