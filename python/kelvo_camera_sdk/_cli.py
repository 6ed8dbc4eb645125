"""The `kelvo` command installed into the environment's bin/: runs the
command bundled in the package, which finds the kit's libraries beside it."""

import os
import sys
from pathlib import Path


def main() -> None:
    if sys.argv[1:2] == ["batch"]:
        # `kelvo batch` runs on Ray from Python; every other command is native.
        from .batch.cli import main as batch_main

        sys.exit(batch_main(sys.argv[2:]))
    if sys.argv[1:2] == ["ros2"]:
        # `kelvo ros2` writes and reads bags with the ros2 extra's libraries.
        from .ros2.cli import main as ros2_main

        sys.exit(ros2_main(sys.argv[2:]))
    binary = Path(__file__).resolve().parent / "bin" / "kelvo"
    if not binary.is_file():
        sys.exit(f"kelvo: the bundled command is missing ({binary})")
    os.execv(binary, [str(binary), *sys.argv[1:]])


if __name__ == "__main__":
    main()
