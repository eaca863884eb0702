import sys

from curvix_tools.cli import main

sys.exit(main())
