import sys

from fluidlab.cli import main

sys.exit(main())
