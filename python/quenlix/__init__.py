"""Namespace of the orx camera bindings under their fully qualified name."""
# The extension module registers itself as quenlix.yux_orx_python_bindings.orx
# when imported as plain `orx`; loading the subpackage here keeps the dotted
# import statement working after that too.
from . import yux_orx_python_bindings  # noqa: F401
