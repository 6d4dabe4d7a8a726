"""YAML text of pics read as `yaml.safe_load` reads it, parsed in C where PyYAML can.

PyYAML's pure-Python parser takes most of the time of reading a pic. With
libyaml (which PyYAML's wheels include) the text is parsed in C; the nodes
are then turned into values by the same constructors as ever, and documents
of plain values (strings, numbers, booleans, nulls, mappings and lists, as
pics are) by a shorter walk over the same nodes with the same results.
Anything else, and every failure, takes PyYAML's own way, so that values and
errors (file, line and column, with the line quoted) stay what they were.
"""

from __future__ import annotations

from typing import Any, TextIO

import yaml
from yaml.constructor import SafeConstructor
from yaml.nodes import MappingNode, Node, ScalarNode, SequenceNode

_STR = "tag:yaml.org,2002:str"
_MAP = "tag:yaml.org,2002:map"
_SEQ = "tag:yaml.org,2002:seq"
# Scalars whose values come from the constructors as they stand.
_SCALARS = frozenset(f"tag:yaml.org,2002:{kind}" for kind in ("int", "float", "bool", "null"))
_PLAIN_CONSTRUCTORS = {
    _STR: SafeConstructor.construct_yaml_str,
    _MAP: SafeConstructor.construct_yaml_map,
    _SEQ: SafeConstructor.construct_yaml_seq,
}


class _NotPlain(Exception):
    """A node that the short walk leaves to PyYAML's constructor."""


def _plain(loader: Any, node: Node, made: dict[int, Any]) -> Any:
    """The value of a node of plain values; `made` holds the collections made so far
    (an alias is the same node, so it gives the same object)."""
    tag = node.tag
    kind = node.__class__
    if kind is ScalarNode:
        if tag == _STR:
            return node.value
        if tag in _SCALARS:
            return loader.yaml_constructors[tag](loader, node)
        raise _NotPlain
    known = made.get(id(node))
    if known is not None:
        return known
    if kind is MappingNode and tag == _MAP:
        mapping: dict[Any, Any] = {}
        made[id(node)] = mapping
        for key_node, value_node in node.value:
            key_tag = key_node.tag
            if key_tag == _STR and key_node.__class__ is ScalarNode:
                key = key_node.value
            elif key_tag in _SCALARS and key_node.__class__ is ScalarNode:
                key = loader.yaml_constructors[key_tag](loader, key_node)
            else:  # merge keys, and keys that are collections
                raise _NotPlain
            mapping[key] = _plain(loader, value_node, made)
        return mapping
    if kind is SequenceNode and tag == _SEQ:
        sequence: list[Any] = []
        made[id(node)] = sequence
        for child in node.value:
            sequence.append(_plain(loader, child, made))
        return sequence
    raise _NotPlain


_CParsedLoader: type | None = None
if getattr(yaml, "CSafeLoader", None) is not None:

    class _CParsedLoader(yaml.CSafeLoader):  # type: ignore[no-redef]
        """yaml.CSafeLoader with the short walk for documents of plain values."""

        def construct_document(self, node: Node) -> Any:
            constructors = self.yaml_constructors
            if all(constructors.get(tag) is c for tag, c in _PLAIN_CONSTRUCTORS.items()):
                try:
                    return _plain(self, node, {})
                except (_NotPlain, RecursionError):
                    pass
            return super().construct_document(node)


def safe_load(stream: str | TextIO) -> Any:
    """`yaml.safe_load(stream)`: the same value, or the same error.

    When the C parser fails, the text is parsed again by PyYAML's Python
    parser, which reports the error as it always has; a stream that cannot
    be rewound keeps the C parser's error.
    """
    if _CParsedLoader is None:
        return yaml.safe_load(stream)
    try:
        return yaml.load(stream, Loader=_CParsedLoader)
    except Exception:
        if not isinstance(stream, str):
            if not stream.seekable():
                raise
            stream.seek(0)
    return yaml.safe_load(stream)
