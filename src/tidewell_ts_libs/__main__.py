import sys

from tidewell_ts_libs.cli import main

if __name__ == "__main__":
    sys.exit(main())
