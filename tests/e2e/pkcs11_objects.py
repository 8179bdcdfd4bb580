# An outside PKCS#11 application (PyKCS11) reads a token end to end: private
# objects hidden before login, every object with its attributes after it,
# and each certificate checked against the key objects of the same CKA_ID.
# Usage: pkcs11_objects.py <module.so> <reader name> <PIN>
# Prints one line "objects: <public> <all> keys: <n>" and exits 0, or fails
# with an assertion.
import sys

import PyKCS11
from cryptography import x509
from cryptography.hazmat.primitives.asymmetric import rsa
from pkcs11_token import token_slot

module, reader, pin = sys.argv[1:4]
lib, slot = token_slot(module, reader)
info = lib.getTokenInfo(slot)
assert info.flags & PyKCS11.CKF_TOKEN_INITIALIZED, info

COMMON = [PyKCS11.CKA_CLASS, PyKCS11.CKA_TOKEN, PyKCS11.CKA_PRIVATE, PyKCS11.CKA_MODIFIABLE,
          PyKCS11.CKA_LABEL]
BY_CLASS = {
    PyKCS11.CKO_CERTIFICATE: [PyKCS11.CKA_CERTIFICATE_TYPE, PyKCS11.CKA_ID, PyKCS11.CKA_SUBJECT,
                              PyKCS11.CKA_ISSUER, PyKCS11.CKA_SERIAL_NUMBER, PyKCS11.CKA_VALUE],
    PyKCS11.CKO_DATA: [PyKCS11.CKA_APPLICATION, PyKCS11.CKA_OBJECT_ID, PyKCS11.CKA_VALUE],
    PyKCS11.CKO_PUBLIC_KEY: [PyKCS11.CKA_KEY_TYPE, PyKCS11.CKA_ID, PyKCS11.CKA_SUBJECT,
                             PyKCS11.CKA_ENCRYPT, PyKCS11.CKA_VERIFY, PyKCS11.CKA_WRAP,
                             PyKCS11.CKA_MODULUS, PyKCS11.CKA_MODULUS_BITS,
                             PyKCS11.CKA_PUBLIC_EXPONENT],
    PyKCS11.CKO_PRIVATE_KEY: [PyKCS11.CKA_KEY_TYPE, PyKCS11.CKA_ID, PyKCS11.CKA_SUBJECT,
                              PyKCS11.CKA_DECRYPT, PyKCS11.CKA_SIGN, PyKCS11.CKA_UNWRAP,
                              PyKCS11.CKA_SENSITIVE, PyKCS11.CKA_EXTRACTABLE,
                              PyKCS11.CKA_MODULUS, PyKCS11.CKA_PUBLIC_EXPONENT,
                              PyKCS11.CKA_PRIVATE_EXPONENT],
}


def attributes(session, obj):
    """Every attribute of the object's class, as bytes (None when absent)."""
    klass = session.getAttributeValue(obj, [PyKCS11.CKA_CLASS])[0]
    types = COMMON + BY_CLASS[klass]
    values = session.getAttributeValue(obj, types, allAsBinary=True)
    return {t: (None if v is None else bytes(v)) for t, v in zip(types, values)}


def flag(value):
    return value is not None and value[0] != 0


def integer(value):
    return int.from_bytes(value, "big")


session = lib.openSession(slot)  # read-only, as GnuTLS and OpenSSL's engine open them
before = [attributes(session, o) for o in session.findObjects()]
assert before, "no public object"
assert not any(flag(a[PyKCS11.CKA_PRIVATE]) for a in before), "a private object before login"

session.login(pin)
state = session.getSessionInfo().state
assert state in (PyKCS11.CKS_RO_USER_FUNCTIONS, "CKS_RO_USER_FUNCTIONS"), state
after = [attributes(session, o) for o in session.findObjects()]
assert len(after) > len(before)
assert any(flag(a[PyKCS11.CKA_PRIVATE]) for a in after), "no private object after login"

keys = {}
for a in after:
    klass = int.from_bytes(a[PyKCS11.CKA_CLASS], sys.byteorder)
    assert a[PyKCS11.CKA_LABEL], "an object without a label"
    if klass in (PyKCS11.CKO_PUBLIC_KEY, PyKCS11.CKO_PRIVATE_KEY):
        assert a[PyKCS11.CKA_MODULUS], "a key without its modulus"
        keys[(klass, a[PyKCS11.CKA_ID])] = a
    if klass == PyKCS11.CKO_PRIVATE_KEY and flag(a[PyKCS11.CKA_SENSITIVE]):
        assert a[PyKCS11.CKA_PRIVATE_EXPONENT] is None, "a sensitive part handed out"
    if klass == PyKCS11.CKO_DATA:
        assert a[PyKCS11.CKA_VALUE], "a data object without its value"

certificates = [a for a in after
                if int.from_bytes(a[PyKCS11.CKA_CLASS], sys.byteorder) == PyKCS11.CKO_CERTIFICATE]
assert certificates, "no certificate"
for a in certificates:
    cert = x509.load_der_x509_certificate(a[PyKCS11.CKA_VALUE])
    numbers = cert.public_key().public_numbers()
    assert isinstance(cert.public_key(), rsa.RSAPublicKey)
    assert a[PyKCS11.CKA_SUBJECT] == cert.subject.public_bytes(), "CKA_SUBJECT"
    assert a[PyKCS11.CKA_ISSUER] == cert.issuer.public_bytes(), "CKA_ISSUER"
    for klass in (PyKCS11.CKO_PUBLIC_KEY, PyKCS11.CKO_PRIVATE_KEY):
        key = keys[(klass, a[PyKCS11.CKA_ID])]
        assert integer(key[PyKCS11.CKA_MODULUS]) == numbers.n, "CKA_MODULUS of " + str(klass)
        assert integer(key[PyKCS11.CKA_PUBLIC_EXPONENT]) == numbers.e, "CKA_PUBLIC_EXPONENT"

session.logout()
session.closeSession()
print("objects: %d %d keys: %d" % (len(before), len(after), len(certificates)))
