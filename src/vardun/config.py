"""The tool's configuration.

CONFIG_DIR is where the tool keeps its files: ``~/.config/vardun``, or the
directory named by the environment variable VARDUN_CONFIG_DIR when it is set
and not empty.
"""

import os
from pathlib import Path

CONFIG_DIR = Path(os.environ.get("VARDUN_CONFIG_DIR") or Path.home() / ".config" / "vardun")
