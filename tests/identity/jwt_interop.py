#!/usr/bin/env python3
"""An independent side for the key and token tests, built on python's
`cryptography` and `hmac`.

  der OUT KIND           write a PKCS#8 DER private key to OUT and print its kid.
                         KIND: good (2048 bits, both primes 3 mod 4), badprimes
                         (2048 bits, a prime 1 mod 4), rsa1024, rsa3072, ec.
  sign DER KID CLAIMS..  print one RS256 token per claim-set text, signed with DER.
  hs256 SECRET CLAIMS..  print one HS256 token per claim-set text, keyed with the
                         first 32 bytes of the file SECRET.
  verify JWKS TOKEN..    print "ok" or "bad" per token: its RS256 signature checked
                         with the n and e of the JWK of its kid in the JSON array
                         in the file JWKS.
"""
import base64
import hashlib
import hmac
import json
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def kid_of(public_key):
    # The key identifier hashes the SubjectPublicKeyInfo with its AlgorithmIdentifier
    # SEQUENCE header (30 0d) removed and the outer length shortened by those two
    # bytes. Only 2048-bit keys with e = 65537 are handled, whose SPKI starts with
    # 30 82 01 22 30 0d.
    spki = public_key.public_bytes(serialization.Encoding.DER,
                                   serialization.PublicFormat.SubjectPublicKeyInfo)
    assert spki[:6] == bytes.fromhex("30820122300d"), spki[:6].hex()
    ours = bytes.fromhex("30820120") + spki[6:]
    assert len(ours) == 292
    return b64url(hashlib.sha256(ours).digest())[:16]


def make_rsa(bits, want_3_mod_4):
    while True:
        key = rsa.generate_private_key(public_exponent=65537, key_size=bits)
        nums = key.private_numbers()
        qualifies = nums.p % 4 == 3 and nums.q % 4 == 3
        if qualifies == want_3_mod_4:
            return key


def pkcs8(key):
    return key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def cmd_der(out, kind):
    if kind == "ec":
        key = ec.generate_private_key(ec.SECP256R1())
        kid = "-"
    else:
        bits = {"good": 2048, "badprimes": 2048, "rsa1024": 1024, "rsa3072": 3072}[kind]
        key = make_rsa(bits, kind != "badprimes")
        kid = kid_of(key.public_key()) if bits == 2048 else "-"
    with open(out, "wb") as f:
        f.write(pkcs8(key))
    print(kid)


def compact(header, claims_text):
    head = b64url(json.dumps(header, separators=(",", ":")).encode())
    return head + "." + b64url(claims_text.encode())


def cmd_sign(der_path, kid, claim_sets):
    with open(der_path, "rb") as f:
        key = serialization.load_der_private_key(f.read(), password=None)
    for claims in claim_sets:
        signing_input = compact({"alg": "RS256", "typ": "JWT", "kid": kid}, claims)
        sig = key.sign(signing_input.encode(), padding.PKCS1v15(), hashes.SHA256())
        print(signing_input + "." + b64url(sig))


def cmd_hs256(secret_path, claim_sets):
    with open(secret_path, "rb") as f:
        secret = f.read()[:32]
    for claims in claim_sets:
        signing_input = compact({"alg": "HS256", "typ": "JWT"}, claims)
        mac = hmac.new(secret, signing_input.encode(), hashlib.sha256).digest()
        print(signing_input + "." + b64url(mac))


def cmd_verify(jwks_path, tokens):
    with open(jwks_path) as f:
        jwks = {k["kid"]: k for k in json.load(f)}
    for token in tokens:
        head, body, sig = token.split(".")
        kid = json.loads(b64url_decode(head))["kid"]
        jwk = jwks.get(kid)
        if jwk is None:
            print("bad")
            continue
        pub = rsa.RSAPublicNumbers(int.from_bytes(b64url_decode(jwk["e"]), "big"),
                                   int.from_bytes(b64url_decode(jwk["n"]), "big")).public_key()
        try:
            pub.verify(b64url_decode(sig), (head + "." + body).encode(), padding.PKCS1v15(),
                       hashes.SHA256())
            print("ok")
        except InvalidSignature:
            print("bad")


def main(argv):
    cmd, args = argv[1], argv[2:]
    if cmd == "der":
        cmd_der(*args)
    elif cmd == "sign":
        cmd_sign(args[0], args[1], args[2:])
    elif cmd == "hs256":
        cmd_hs256(args[0], args[1:])
    elif cmd == "verify":
        cmd_verify(args[0], args[1:])
    else:
        sys.exit("unknown command " + cmd)


if __name__ == "__main__":
    main(sys.argv)
