"""The checks of the arguments the package's calls share: each returns the value as the
native part takes it, or raises a TypeError or ValueError that names the argument."""
from __future__ import annotations

import math
import uuid
from typing import Union


def _checked_timeout(timeout: float) -> float:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if not math.isfinite(timeout) or timeout <= 0:
        raise ValueError(f"timeout must be a finite number of seconds above 0, not {timeout!r}")
    return float(timeout)


def _checked_duration(duration: float) -> float:
    if isinstance(duration, bool) or not isinstance(duration, (int, float)):
        raise TypeError(f"duration must be a number of seconds, or None for ever, not "
                        f"{type(duration).__name__}")
    if math.isnan(duration) or duration < 0:
        raise ValueError(f"duration must be a number of seconds from 0, or None for ever, not "
                         f"{duration!r}")
    return float(duration)


def _as_uuid(value: Union[uuid.UUID, str]) -> uuid.UUID:
    if isinstance(value, uuid.UUID):
        return value
    if isinstance(value, str):
        try:
            return uuid.UUID(value)
        except ValueError:
            pass
    raise ValueError(f"uuid must be a uuid.UUID or its text, such as "
                     f"'5b1d0d5e-0a7c-4b5a-9c3e-000000000001', not {value!r}")

