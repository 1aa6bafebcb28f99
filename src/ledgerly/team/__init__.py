"""The team wing: the counted events as a Parquet tree (`export`), and
reports over such trees from one machine or many (`query`). Each needs an
optional dependency, imported on use (`require`)."""

from __future__ import annotations

import importlib
from typing import Any


class MissingExtra(ImportError):
    """An optional dependency that is not installed; the message says what
    to install."""


def require(module: str, purpose: str, extra: str) -> Any:
    """The module `module`, or MissingExtra saying that `purpose` needs it
    and which extra of ledgerly installs it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".")[0]
        from ledgerly.extras import install_hint

        raise MissingExtra("%s needs %s: %s" % (purpose, top, install_hint(extra))) from None
