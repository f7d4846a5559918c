"""Quibrel module"""

# The engine is the compiled extension quibrel.abi3.so beside this file. It is loaded by path under
# two names: as the engine itself, whose surface this package re-exports unchanged, and as
# the library layer's private calls (quibrel._native), which live in the same shared object
# so that both share one worker pool and one set of classes. Loading it again in the same
# process raises the engine's own ImportError, as importing the engine twice always has.
#
# Nothing heavy is imported here: the library's submodules (quibrel.recommenders,
# quibrel.evaluation, quibrel.dask) import numpy, pandas, scipy, tqdm or dask themselves.

from __future__ import annotations

import importlib.machinery as _machinery
import os as _os
from types import ModuleType as _ModuleType
from typing import TYPE_CHECKING


def _load_extension(name: str) -> _ModuleType:
    here = _os.path.dirname(__file__)
    for suffix in _machinery.EXTENSION_SUFFIXES:
        path = _os.path.join(here, "quibrel" + suffix)
        if _os.path.exists(path):
            loader = _machinery.ExtensionFileLoader(name, path)
            spec = _machinery.ModuleSpec(name, loader, origin=path)
            module = loader.create_module(spec)
            loader.exec_module(module)
            return module
    raise ImportError(f"the compiled quibrel engine is missing from {here}")


_engine_module = _load_extension("quibrel.quibrel")
_load_extension("quibrel._native")

from .quibrel import (  # noqa: E402
    ItemCF,
    Swing,
    UserCF,
    build_consumed_unique,
    load_item_cf,
    load_swing,
    load_user_cf,
    save_item_cf,
    save_swing,
    save_user_cf,
)

if TYPE_CHECKING:
    from .quibrel import FloatSequence as FloatSequence
    from .quibrel import IndexSequence as IndexSequence
    from .quibrel import InteractionMatrix as InteractionMatrix

__version__: str = _engine_module.__version__

# The engine's own list, in its registration order.
__all__ = [  # noqa: RUF022
    "UserCF",
    "ItemCF",
    "Swing",
    "save_user_cf",
    "load_user_cf",
    "save_item_cf",
    "load_item_cf",
    "save_swing",
    "load_swing",
    "build_consumed_unique",
    "__version__",
]
