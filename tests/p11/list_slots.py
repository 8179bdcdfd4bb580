# An outside PKCS#11 application: PyKCS11 loads the module and lists slots.
# Usage: list_slots.py <module.so> <reader name expected among the slots>
import sys

import PyKCS11

lib = PyKCS11.PyKCS11Lib()
lib.load(sys.argv[1])
info = lib.getInfo()
assert info.manufacturerID.strip() == "ORVA-ZEL", info.manufacturerID
slots = lib.getSlotList(tokenPresent=False)
descriptions = [lib.getSlotInfo(s).slotDescription.strip() for s in slots]
print("slots:", [hex(s) for s in slots], descriptions)
assert all(s >= 0x10000 for s in slots), slots
assert sys.argv[2] in descriptions, descriptions
assert lib.getSlotList(tokenPresent=True) == [], "the basic card is of no module type"
