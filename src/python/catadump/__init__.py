"""The folders and files of a Quillseek index database (raw or bzip2-wrapped), one entry at a time.

    with catadump.open(source) as db:
        for entry in db: ...

Opened with provenance=True, a database's bytes are counted and hashed as they are read, and once the
entries are all read db.provenance is the line the program's --summary writes of the same source.

The entries come from the compiled part, catadump._catadump, over libcatadump.
"""

from ._catadump import Database, Entry, Error, open
from .frames import read_frame
from .many import open_many, read_frames

__all__ = ["Database", "Entry", "Error", "open", "open_many", "read_frame", "read_frames"]
