# Type stubs of the rowmint extension module.
import builtins
import codecs as codecs
import os as os
import sys as sys
from types import ModuleType
from typing import Any, Dict

# `six` ships no types of its own; a module type keeps checkers quiet
# whether or not its separate stubs are installed.
six: ModuleType

__version__: builtins.str
__test__: Dict[builtins.str, Any]

def main() -> None: ...
def replace(start: int, lenth: int, str: builtins.str, repstr: builtins.str) -> builtins.str: ...
