"""``python -m korvane.app [ini] [--host H] [--port P] [--data-dir D]``"""

import sys

from korvane.app import serve

sys.exit(serve())
