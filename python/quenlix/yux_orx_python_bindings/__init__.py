"""Makes ``quenlix.yux_orx_python_bindings.orx`` the ``orx`` extension module.

The extension registers itself in ``sys.modules`` under its fully qualified
name when it is first imported; importing it here makes that name resolvable
in a fresh process too (unpickling an exception or an enumeration member).
"""
import sys as _sys

import orx as _orx

orx = _sys.modules.setdefault(__name__ + ".orx", _orx)
