# The module loaded by PyKCS11 and the slot of one reader's token, for the
# outside-application scripts of this folder.
import PyKCS11


def token_slot(module, reader):
    """The loaded library and the slot whose description is the reader's name."""
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    for slot in lib.getSlotList(tokenPresent=True):
        if lib.getSlotInfo(slot).slotDescription.strip() == reader:
            return lib, slot
    raise AssertionError("no token in " + reader)
