"""Holding back what other libraries say while the converters walk a network.

The walks read every attribute of every module they enter, properties
included, and some libraries' properties warn or log when read
(deprecations, config notes). Those messages are about reading the
attribute, not about the user's network, so during a walk they are
collected instead of shown, and handed on as one debug record of the
``veskari`` logger for whoever wants them.
"""
from __future__ import annotations

import contextlib
import logging
import warnings
from collections.abc import Iterator

log = logging.getLogger("veskari")


class _Collector(logging.Filter):
    def __init__(self) -> None:
        super().__init__()
        self.records: list[logging.LogRecord] = []

    def filter(self, record: logging.LogRecord) -> bool:
        self.records.append(record)
        return False


@contextlib.contextmanager
def held_back(what: str) -> Iterator[list[str]]:
    """Collects the warnings and log records raised inside; yields their texts
    (filled when the block ends) and logs a summary at debug level."""
    collector = _Collector()
    # Filters on the handlers, not the loggers: a logger made during the walk
    # has none of its own, and its records reach these.
    loggers = [logging.getLogger()] + [
        logger for logger in list(logging.Logger.manager.loggerDict.values())
        if isinstance(logger, logging.Logger)]
    handlers = {id(h): h for logger in loggers for h in logger.handlers}
    if logging.lastResort is not None:
        handlers[id(logging.lastResort)] = logging.lastResort
    said: list[str] = []
    for handler in handlers.values():
        handler.addFilter(collector)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            yield said
    finally:
        for handler in handlers.values():
            handler.removeFilter(collector)
    texts = [f"{w.category.__name__}: {w.message}" for w in caught]
    texts += [f"log {r.name} {r.levelname}: {r.getMessage()}" for r in collector.records]
    said.extend(dict.fromkeys(texts))  # once each, in order
    if said:
        log.debug("%s held back %d message(s): %s", what, len(said), " | ".join(said))
