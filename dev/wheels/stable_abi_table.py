"""Reading the tables that stable_abi.py writes."""

from typing import Dict, Tuple

Version = Tuple[int, ...]


def read_table(path: str) -> Dict[str, Version]:
    """Each stable-ABI name with the version that added it."""
    stable: Dict[str, Version] = {}
    with open(path) as table:
        for line in table:
            name, _kind, added = line.rstrip("\n").split("\t")
            stable[name] = tuple(int(part) for part in added.split("."))
    return stable
