"""Python binding of the zavo market-data client library.

Records of the Shanghai and Shenzhen exchanges arrive in batches as numpy
structured arrays, one array per kind of record::

    import zavo
    with zavo.Session(server="127.0.0.1:6600", group="239.255.6.1:6601") as s:
        batch = s.read(timeout=0.5)          # {"trade": array, "order": array, ...}
        print(batch["trade"][["Code", "TradePrice", "TradeQty"]])
        frame = zavo.to_frame(batch["security"])   # pandas, BidPrice1..BidPrice10

The library delivers records on its own threads; the binding copies each
one into a bounded queue there, without the interpreter lock, and Python
takes them out in batches. Waits release the interpreter lock and wake for
Ctrl-C. Capture files (zavo_record's, plain or compressed) decode offline
into the same batches: ``zavo.read_capture(path)``, ``zavo.iter_capture``
for files larger than memory. Sessions close on ``with`` exit, ``close()``, garbage collection and
interpreter exit, from any thread.
"""

from ._book import Book, book_dtypes
from ._capture import Capture, iter_capture, read_capture
from ._errors import CaptureDamageWarning, ClosedError, Error, QueueFullWarning
from ._frames import to_frame
from ._raw_session import RawMessage, RawSession
from ._records import KINDS, dtypes, feed_dtypes, kind_of, version
from ._session import Session

__all__ = [
    "version", "Session", "RawSession", "RawMessage", "Error", "ClosedError",
    "QueueFullWarning", "dtypes", "feed_dtypes", "KINDS", "Book", "book_dtypes", "kind_of",
    "to_frame", "Capture", "read_capture", "iter_capture", "CaptureDamageWarning",
]
__version__ = "1.1.0"
