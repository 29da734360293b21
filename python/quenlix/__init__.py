"""Namespace of the orx camera bindings under their fully qualified name."""
