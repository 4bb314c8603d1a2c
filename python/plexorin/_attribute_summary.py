"""The values per point a GLB file declares: every application attribute
("_" + name) of its primitives and instances, with its type, its count and
its range over all of them (from the accessors' min and max: no data is
read), named by EXT_structural_metadata's property where it has one."""

from __future__ import annotations

from typing import Any

METADATA = "EXT_structural_metadata"


def property_names(document: dict[str, Any]) -> dict[str, str]:
    """glTF attribute -> property name, from the first property attribute
    table of the document (those this package writes); {} when absent or
    not as expected."""
    metadata = (document.get("extensions") or {}).get(METADATA)
    if not isinstance(metadata, dict):
        return {}
    tables = metadata.get("propertyAttributes")
    if not isinstance(tables, list):
        return {}
    names: dict[str, str] = {}
    for table in tables:
        properties = table.get("properties") if isinstance(table, dict) else None
        if not isinstance(properties, dict):
            continue
        for name, entry in properties.items():
            if isinstance(entry, dict) and isinstance(entry.get("attribute"), str):
                names.setdefault(entry["attribute"], str(name))
    return names


def _merge(summary: dict[str, Any], semantic: str, accessor: dict[str, Any]) -> None:
    entry = summary.setdefault(semantic, {"componentType": accessor["componentType"],
                                          "type": accessor["type"], "count": 0})
    entry["count"] += accessor["count"]
    for bound, pick in (("min", min), ("max", max)):
        values = accessor.get(bound)
        if not isinstance(values, list) or any(v is None for v in values):
            entry[bound + "_missing"] = True
            continue
        old = entry.get(bound)
        entry[bound] = values if old is None or len(old) != len(values) else \
            [pick(a, b) for a, b in zip(old, values)]


def attribute_summary(document: dict[str, Any], meshes: list[dict[str, Any]],
                      nodes: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """[{name, attribute, componentType, type, count, min, max}] in first-seen order."""
    merged: dict[str, Any] = {}
    for mesh in meshes:
        for primitive in mesh["primitives"]:
            for semantic, accessor in primitive["attributes"].items():
                if semantic.startswith("_"):
                    _merge(merged, semantic, accessor)
    for node in nodes:
        for semantic, accessor in node.get("instances", {}).get("attributes", {}).items():
            if semantic.startswith("_"):
                _merge(merged, semantic, accessor)
    names = property_names(document)
    result = []
    for semantic, entry in merged.items():
        item = {"name": names.get(semantic, semantic), "attribute": semantic,
                "componentType": entry["componentType"], "type": entry["type"],
                "count": entry["count"]}
        if not entry.get("min_missing") and not entry.get("max_missing") and "min" in entry:
            item["min"], item["max"] = entry["min"], entry["max"]
        result.append(item)
    return result
