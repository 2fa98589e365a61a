# The functions are typed in _native.pyi; this module's names take those types.
from ._native import (
    add as add,
    all as all,
    any as any,
    div as div,
    dot as dot,
    matmul as matmul,
    max as max,
    mean as mean,
    min as min,
    mul as mul,
    sub as sub,
    sum as sum,
)
