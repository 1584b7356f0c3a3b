#!/usr/bin/env python3
"""The independent side of the password hash tests, built on python's hashlib.

  verify PASSWORD_HEX STORED..   print "ok" or "bad" per stored hash string: whether
                                 PBKDF2-HMAC-SHA-256 of the password with its salt
                                 and iteration count gives its key.
  make PASSWORD_HEX ITERATIONS [upper]
                                 print a hash string with a fresh salt and the given
                                 count, its hex digits in upper case with "upper".
"""
import hashlib
import os
import sys


def verify(password, stored):
    scheme, iterations, salt, key = stored.split("$")
    derived = hashlib.pbkdf2_hmac("sha256", password, bytes.fromhex(salt), int(iterations))
    return scheme == "pbkdf2" and derived == bytes.fromhex(key)


def main(argv):
    password = bytes.fromhex(argv[2])
    if argv[1] == "verify":
        for stored in argv[3:]:
            print("ok" if verify(password, stored) else "bad")
    elif argv[1] == "make":
        iterations = int(argv[3])
        salt = os.urandom(16)
        key = hashlib.pbkdf2_hmac("sha256", password, salt, iterations)
        text = "%s$%s" % (salt.hex(), key.hex())
        if len(argv) > 4 and argv[4] == "upper":
            text = text.upper()
        print("pbkdf2$%d$%s" % (iterations, text))
    else:
        sys.exit("unknown command " + argv[1])


if __name__ == "__main__":
    main(sys.argv)
