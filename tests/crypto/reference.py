#!/usr/bin/env python3
"""Prints random hash cases computed with python's hashlib and hmac, one per line.

    reference.py SEED COUNT

Lines: "sha256 MSG DIGEST", "hmac KEY MSG MAC", "pbkdf2 PASSWORD SALT ITERATIONS KEY";
every byte string is hex, "-" for an empty one.
"""
import hashlib
import hmac
import random
import sys


def hx(b):
    return b.hex() if b else "-"


def length(rng, edges, top):
    # Block and key-size edges turn up far more often than chance would give them.
    return rng.choice(edges) if rng.random() < 0.5 else rng.randrange(top)


def main():
    rng = random.Random(int(sys.argv[1]))
    count = int(sys.argv[2])
    edges = [0, 1, 31, 32, 33, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129]
    for _ in range(count):
        msg = rng.randbytes(length(rng, edges, 1500))
        print("sha256", hx(msg), hashlib.sha256(msg).hexdigest())
        key = rng.randbytes(length(rng, edges, 200))
        print("hmac", hx(key), hx(msg), hmac.new(key, msg, hashlib.sha256).hexdigest())
    for _ in range(count // 4):
        password = rng.randbytes(length(rng, edges, 100))
        salt = rng.randbytes(length(rng, edges, 70))
        iterations = rng.randrange(1, 40)
        dklen = rng.randrange(1, 100)
        dk = hashlib.pbkdf2_hmac("sha256", password, salt, iterations, dklen)
        print("pbkdf2", hx(password), hx(salt), iterations, dk.hex())


if __name__ == "__main__":
    main()
