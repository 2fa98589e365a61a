"""Prints the constant tables of core/src/ops/unary_math_tables.cpp.

2^(j/64) for j = 0..63 as a double and the double nearest its remainder;
2^(j/8) for j = 0..7 as bits with j << 49 taken off (the fast stage adds k
<< 49 back); for
log, 128 intervals of the reduced argument z in [0.6875, 1.375) (the bit
pattern of z minus that of 0.6875, top 7 mantissa bits): 1/c rounded to 29
significant bits, so that z * (1/c) is exact for a float32 z, and -log(1/c)
as a double and its remainder. The two intervals beside 1 use 1/c = 1, so that
log(x) near 1 involves no cancellation.
"""
import math
import struct

import mpmath

mpmath.mp.prec = 200


def hexd(v):
    return float(v).hex()


def split(v):
    hi = float(v)
    return hi, float(v - mpmath.mpf(hi))


def round_bits(v, bits):
    m, e = math.frexp(float(v))
    return math.ldexp(round(m * 2**bits), e - bits)


def main():
    print("exp2 table (hi, lo):")
    for j in range(64):
        hi, lo = split(mpmath.mpf(2) ** (mpmath.mpf(j) / 64))
        print(f"    {{{hexd(hi)}, {hexd(lo)}}},")
    print("exp2 eighths table (bits of 2^(j/8) minus j << 49):")
    for j in range(8):
        bits = struct.unpack("<Q", struct.pack("<d", float(mpmath.mpf(2) ** (mpmath.mpf(j) / 8))))[0]
        print(f"    {bits - (j << 49):#018x},")
    off = 0x3FE6000000000000
    print("log table (invc, logc hi, logc lo):")
    for i in range(128):
        a = struct.unpack("<d", struct.pack("<Q", off + (i << 45)))[0]
        b = struct.unpack("<d", struct.pack("<Q", off + ((i + 1) << 45)))[0]
        invc = 1.0 if i in (79, 80) else round_bits(1 / ((mpmath.mpf(a) + b) / 2), 29)
        hi, lo = split(-mpmath.log(mpmath.mpf(invc)))
        print(f"    {{{hexd(invc)}, {hexd(hi)}, {hexd(lo)}}},")


if __name__ == "__main__":
    main()
