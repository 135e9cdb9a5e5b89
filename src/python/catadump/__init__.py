"""The folders and files of a Quillseek index database (raw or bzip2-wrapped), one entry at a time.

    with catadump.open(source) as db:
        for entry in db: ...

The entries come from the compiled part, catadump._catadump, over libcatadump.
"""

from ._catadump import Database, Entry, Error, open
from .frames import read_frame

__all__ = ["Database", "Entry", "Error", "open", "read_frame"]
