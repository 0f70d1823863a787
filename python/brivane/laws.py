"""Laws compiled to machine code, which the servo calls in its own thread each period,
without the interpreter."""
from __future__ import annotations

import ctypes
from typing import Any

__all__ = ["CompiledLaw", "LAW_SAMPLE_FIELDS"]

#: What a compiled law's `sample` holds, 16 doubles in this order: the period's start (s
#: since the servo started), the arm's position (3, m) and velocity (3, m/s), the effects'
#: force this period (3, N), the period as measured (s), the grip's orientation (4, as
#: Sample.orientation) and its hall level.
LAW_SAMPLE_FIELDS = ("time", "position_x", "position_y", "position_z", "velocity_x",
                     "velocity_y", "velocity_z", "force_x", "force_y", "force_z", "period",
                     "orientation_0", "orientation_1", "orientation_2", "orientation_3", "hall")

_SIGNATURE = "void law(const double *sample, double *force)"


def _ctypes_address(function: Any) -> int:
    """The code address of a ctypes function pointer, refusing one that would call Python."""
    thunks = getattr(function, "_objects", None) or {}
    if any(type(held).__name__ == "CThunkObject" for held in thunks.values()):
        raise TypeError("this ctypes function calls back into Python, which the servo's thread "
                        "may not do; give servo.law the Python function itself, or compile "
                        f"the law (a numba cfunc, or C code) as {_SIGNATURE}")
    argtypes = getattr(function, "argtypes", None)
    double_pointer = ctypes.POINTER(ctypes.c_double)
    if argtypes is not None and tuple(argtypes) != (double_pointer, double_pointer):
        raise TypeError(f"a compiled law is {_SIGNATURE}; this ctypes function takes "
                        f"({', '.join(t.__name__ for t in argtypes)})")
    address = ctypes.cast(function, ctypes.c_void_p).value
    return int(address or 0)


class CompiledLaw:
    """A force law compiled to machine code, of C type
    ``void law(const double *sample, double *force)``: `servo.law = CompiledLaw(f)`.

    The servo calls it in its own thread within each period that has a fresh state, with no
    interpreter and no lock: `sample` holds the 16 doubles of LAW_SAMPLE_FIELDS, and the law
    writes the force (N) added to the effects' into `force` (3 doubles, zero at the call). It
    is held below max_force, faded and leased as any law; a force that is not finite commands
    none for that period and counts as a failure in the servo's stats.

    `function` is a numba ``cfunc`` of that signature, a ctypes function pointer to compiled
    code (of a shared library's), or the integer address of such a function. The servo keeps
    this object, and so `function`, alive while it may call it. The law runs where a period's
    time is counted in microseconds: it must not allocate, block, take a lock, or call into
    Python; nothing can stop a law that loops for ever.
    """

    __slots__ = ("_function", "_address")

    def __init__(self, function: Any) -> None:
        if isinstance(function, bool):
            raise TypeError(f"a compiled law is {_SIGNATURE}, not a bool")
        if isinstance(function, int):
            address = function
        elif isinstance(function, ctypes._CFuncPtr):  # type: ignore[attr-defined]
            address = _ctypes_address(function)
        elif isinstance(getattr(function, "address", None), int):
            signature = getattr(function, "_sig", None)
            if signature is not None and str(signature) != "(float64*, float64*) -> none":
                raise TypeError(f"a compiled law is {_SIGNATURE}: a numba cfunc of "
                                "types.void(types.CPointer(types.float64), "
                                f"types.CPointer(types.float64)), not {signature}")
            address = function.address
        else:
            raise TypeError(f"a compiled law is {_SIGNATURE}, given as a numba cfunc, a ctypes "
                            "function pointer or an integer address, not "
                            f"{type(function).__name__}; a Python function is a law of its "
                            "own: servo.law = function")
        if not 0 < address < 1 << 64:
            raise ValueError(f"a compiled law's address must be a pointer to code, not {address}")
        self._function = function
        self._address = address

    @property
    def address(self) -> int:
        """Where the law's code begins."""
        return self._address

    @property
    def function(self) -> Any:
        """What was compiled: the cfunc, the ctypes pointer or the address given."""
        return self._function

    def __repr__(self) -> str:
        return f"<brivane.CompiledLaw at {self._address:#x}>"
