"""`python -m brevanta`: the same command as the installed `brevanta` script."""

from brevanta.command import main

if __name__ == "__main__":
    raise SystemExit(main())
