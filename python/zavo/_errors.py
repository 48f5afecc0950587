"""Exceptions and warnings of the zavo package."""


class Error(Exception):
    """A call of the market-data library failed.

    ``code`` is the library's result (-94 busy, -98 invalid argument,
    -99 network failure), ``text`` says what failed.
    """

    def __init__(self, code: int, text: str) -> None:
        super().__init__(code, text)
        self.code = code
        self.text = text

    def __str__(self) -> str:
        return f"{self.text} ({self.code})"


class ClosedError(Error):
    """The session is closed and nothing is left to read."""


class QueueFullWarning(RuntimeWarning):
    """Records were dropped because the session's queue was full.

    The reader did not keep up; read more often, in larger batches, or
    give the session a larger ``queue_size``.
    """


class CaptureDamageWarning(UserWarning):
    """A capture file is cut short or damaged part-way: the records before
    the damage were decoded, and the message names the file and the byte
    where the damage was met."""
