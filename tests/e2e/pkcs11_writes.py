# An outside PKCS#11 application (PyKCS11) that writes to a token, one step
# per process, as a user runs one program after another: every step opens
# a read-write session on the reader's token and logs in.
# Usage: pkcs11_writes.py <module.so> <reader name> <PIN> <step> [args]
#   list                                every object, one line each, sorted:
#                                       <class> <private 0|1> <label hex> <value hex or ->
#   create-data <label> <value hex> <private 0|1>
#   rename <label> <new label>          C_SetAttributeValue of CKA_LABEL
#   destroy <label>
# Exits 0, or fails with the PKCS#11 error on standard error.
import sys

import PyKCS11
from pkcs11_token import token_slot

module, reader, pin, step = sys.argv[1:5]
args = sys.argv[5:]
lib, slot = token_slot(module, reader)
session = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
session.login(pin)


def by_label(label):
    found = session.findObjects([(PyKCS11.CKA_LABEL, label)])
    assert len(found) == 1, "%d objects labelled %r" % (len(found), label)
    return found[0]


if step == "list":
    lines = []
    for o in session.findObjects():
        klass, private, label = session.getAttributeValue(
            o, [PyKCS11.CKA_CLASS, PyKCS11.CKA_PRIVATE, PyKCS11.CKA_LABEL], allAsBinary=True)
        klass = int.from_bytes(bytes(klass), sys.byteorder)
        value = "-"
        if klass in (PyKCS11.CKO_DATA, PyKCS11.CKO_CERTIFICATE):
            value = bytes(session.getAttributeValue(o, [PyKCS11.CKA_VALUE], allAsBinary=True)[0]).hex()
        lines.append("%d %d %s %s" % (klass, bytes(private)[0] != 0, bytes(label).hex(), value))
    print("\n".join(sorted(lines)))
elif step == "create-data":
    label, value, private = args
    session.createObject([
        (PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA),
        (PyKCS11.CKA_TOKEN, True),
        (PyKCS11.CKA_PRIVATE, private == "1"),
        (PyKCS11.CKA_LABEL, label),
        (PyKCS11.CKA_APPLICATION, "zorbix e2e"),
        (PyKCS11.CKA_VALUE, bytes.fromhex(value)),
    ])
elif step == "rename":
    old, new = args
    session.setAttributeValue(by_label(old), [(PyKCS11.CKA_LABEL, new)])
elif step == "destroy":
    session.destroyObject(by_label(args[0]))
else:
    sys.exit("unknown step " + step)

session.logout()
session.closeSession()
