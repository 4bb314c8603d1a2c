"""The one metallic-roughness material of a mesh."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np


def _unit_factors(name: str, values: tuple[float, ...], length: int) -> tuple[float, ...]:
    try:
        factors = tuple(float(v) for v in values)
    except (TypeError, ValueError):
        raise TypeError(f"Material.{name}: expected {length} numbers") from None
    if len(factors) != length:
        raise ValueError(f"Material.{name}: expected {length} numbers, got {len(factors)}")
    for index, factor in enumerate(factors):
        _require_unit(f"{name}[{index}]", factor)
    return factors


def _require_unit(name: str, value: float) -> None:
    if not (math.isfinite(value) and 0.0 <= value <= 1.0):
        raise ValueError(f"Material.{name} = {value} is outside 0..1")


@dataclass(frozen=True)
class Material:
    """A glTF metallic-roughness material; every factor lies in [0, 1].

    The defaults are those of the native core: white, not metallic, fully
    rough, no emission, both faces drawn.

    Attributes:
        base_color: linear RGBA base colour factor.
        metallic: metallic factor.
        roughness: roughness factor.
        emissive: linear RGB emissive factor.
        double_sided: whether back faces are drawn.
    """

    base_color: tuple[float, float, float, float] = field(default=(1.0, 1.0, 1.0, 1.0))
    metallic: float = 0.0
    roughness: float = 1.0
    emissive: tuple[float, float, float] = field(default=(0.0, 0.0, 0.0))
    double_sided: bool = True

    def __post_init__(self) -> None:
        object.__setattr__(self, "base_color", _unit_factors("base_color", self.base_color, 4))
        object.__setattr__(self, "emissive", _unit_factors("emissive", self.emissive, 3))
        for name in ("metallic", "roughness"):
            try:
                value = float(getattr(self, name))
            except (TypeError, ValueError):
                raise TypeError(f"Material.{name}: expected a number") from None
            _require_unit(name, value)
            object.__setattr__(self, name, value)
        if not isinstance(self.double_sided, (bool, np.bool_)):
            # bool("False") is True: only true booleans say what they mean.
            raise TypeError(f"Material.double_sided: expected a bool, got "
                            f"{type(self.double_sided).__name__}")
        object.__setattr__(self, "double_sided", bool(self.double_sided))

    def as_tuple(self) -> tuple[tuple[float, ...], float, float, tuple[float, ...], bool]:
        """The factors in the order the native builder takes them."""
        return (self.base_color, self.metallic, self.roughness, self.emissive, self.double_sided)
