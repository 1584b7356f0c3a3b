#!/usr/bin/env python3
"""A relying party's side of the public key set, built on python's `cryptography`.

  jwks_verify.py URL ISS AUD TOKEN..

Fetches the key set document at URL over HTTP and prints one line per token:
"ok KID" when its RS256 signature verifies with the JWK of its kid and its iss, aud
and exp are acceptable, else "bad: REASON".
"""
import base64
import json
import sys
import time
import urllib.request

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def b64url_uint(text):
    return int.from_bytes(b64url_decode(text), "big")


def check(token, keys, iss, aud):
    parts = token.split(".")
    if len(parts) != 3:
        return "bad: not three parts"
    header = json.loads(b64url_decode(parts[0]))
    claims = json.loads(b64url_decode(parts[1]))
    if header.get("alg") != "RS256":
        return "bad: alg %r" % header.get("alg")
    jwk = next((k for k in keys if k.get("kid") == header.get("kid")), None)
    if jwk is None:
        return "bad: no key %r" % header.get("kid")
    if jwk.get("kty") != "RSA" or jwk.get("alg") != "RS256" or jwk.get("use") != "sig":
        return "bad: key %r is not an RS256 signing key" % jwk
    public_key = rsa.RSAPublicNumbers(b64url_uint(jwk["e"]), b64url_uint(jwk["n"])).public_key()
    try:
        public_key.verify(b64url_decode(parts[2]), (parts[0] + "." + parts[1]).encode(),
                          padding.PKCS1v15(), hashes.SHA256())
    except InvalidSignature:
        return "bad: signature"
    if claims.get("iss") != iss or claims.get("aud") != aud:
        return "bad: iss %r aud %r" % (claims.get("iss"), claims.get("aud"))
    if not isinstance(claims.get("exp"), int) or claims["exp"] < time.time():
        return "bad: exp %r" % claims.get("exp")
    return "ok " + header["kid"]


def main():
    url, iss, aud, tokens = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    with urllib.request.urlopen(url, timeout=10) as response:
        content_type = response.headers.get("Content-Type", "")
        if not content_type.startswith("application/json"):
            sys.exit("jwks_verify: Content-Type %r" % content_type)
        document = json.load(response)
    for token in tokens:
        print(check(token, document["keys"], iss, aud))


if __name__ == "__main__":
    main()
