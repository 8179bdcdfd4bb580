# PyKCS11 as an application uses a card: find the token by its label, log
# in, list the keys, sign a SHA-256 DigestInfo and verify it on the token and
# with the certificate's key, and decrypt what was encrypted to each key that
# deciphers. Prints one line of counts.
# Usage: pykcs11_client.py MODULE TOKEN-LABEL PIN
import hashlib
import os
import sys

import PyKCS11
from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding

SHA256_PREFIX = bytes.fromhex("3031300d060960864801650304020105000420")


def main(module, label, pin):
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    slots = [s for s in lib.getSlotList(tokenPresent=True) if lib.getTokenInfo(s).label.strip() == label]
    assert len(slots) == 1, "token %r in %d slots" % (label, len(slots))
    session = lib.openSession(slots[0])
    session.login(pin)
    keys = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)])
    signed = decrypted = 0
    for key in keys:
        key_id, can_sign, can_decrypt = session.getAttributeValue(
            key, [PyKCS11.CKA_ID, PyKCS11.CKA_SIGN, PyKCS11.CKA_DECRYPT])
        certs = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE), (PyKCS11.CKA_ID, key_id)])
        assert len(certs) == 1
        cert = x509.load_der_x509_certificate(bytes(session.getAttributeValue(certs[0], [PyKCS11.CKA_VALUE])[0]))
        public = cert.public_key()
        mech = PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS)
        if can_sign:
            message = b"signed by PyKCS11 " + os.urandom(8)
            info = SHA256_PREFIX + hashlib.sha256(message).digest()
            signature = bytes(session.sign(key, info, mech))
            public.verify(signature, message, padding.PKCS1v15(), hashes.SHA256())
            pub = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_ID, key_id)])
            assert session.verify(pub[0], info, signature, mech)
            assert not session.verify(pub[0], info[:-1] + bytes([info[-1] ^ 1]), signature, mech)
            signed += 1
        if can_decrypt:
            secret = os.urandom(24)
            plain = bytes(session.decrypt(key, public.encrypt(secret, padding.PKCS1v15()), mech))
            assert plain == secret, "decrypted %s" % plain.hex()
            decrypted += 1
    session.logout()
    session.closeSession()
    print("keys: %d signed: %d decrypted: %d" % (len(keys), signed, decrypted))


if __name__ == "__main__":
    main(*sys.argv[1:4])
