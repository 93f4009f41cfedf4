"""python -m tessara_pillow: the same as the tessara-convert command."""

import sys

from .convert import main

sys.exit(main())
