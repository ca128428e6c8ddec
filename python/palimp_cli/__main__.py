import sys

from palimp_cli.command import main

if __name__ == "__main__":  # not in a worker process that imports this module anew
    sys.exit(main())
