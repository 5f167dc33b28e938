"""Fast, safe access to IBM Db2 for i through unixODBC, for asyncio and plain Python."""

import _vantorel
from _vantorel import *  # noqa: F401,F403

__version__ = _vantorel.__version__
__all__ = [name for name in dir(_vantorel) if not name.startswith("_")]
