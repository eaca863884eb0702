import sys

from curvixkit.cli import main

sys.exit(main())
