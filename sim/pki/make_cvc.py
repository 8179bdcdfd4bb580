"""Builds the card-verifiable certificates of the test PKI and the C++ image
of the PKI files (sim/content_pki.cpp). Run by make-pki.sh; standard library
only.

Also writes the secure-channel parameters (Vexa-channelParams DER) for the
module's card types. Run alone (python3 make_cvc.py sim/pki sim/content_pki.cpp)
it rebuilds these from the existing keys without making new ones.

Card-verifiable certificate layout (signer: 1024-bit RSA key):
  7F21 L { 5F37 81 80 <signature> 5F38 L <remainder> 42 08 <CAR> }
  content = CPI 41 || CAR (8) || CHR (12) || CHA (5) || OID (9, rsaEncryption)
            || n (128) || e (minimal big-endian: 4 bytes for the authority key,
            3 for the terminal key)                   -> 167 and 166 bytes
  block   = 6A || content[0:106] || SHA-1(content) || BC           (ISO 9796-2)
  signature = min(S, N - S) with S = block^d mod N of the signer;
  remainder = content[106:].
"""
import hashlib
import os
import sys


def der_read(buf, pos):
    tag = buf[pos]
    pos += 1
    length = buf[pos]
    pos += 1
    if length & 0x80:
        n = length & 0x7F
        length = int.from_bytes(buf[pos:pos + n], "big")
        pos += n
    return tag, buf[pos:pos + length], pos + length


def rsa_private(path):
    data = open(path, "rb").read()
    tag, body, _ = der_read(data, 0)
    assert tag == 0x30
    ints = []
    pos = 0
    while pos < len(body):
        tag, value, pos = der_read(body, pos)
        assert tag == 0x02
        ints.append(int.from_bytes(value, "big"))
    # version, n, e, d, p, q, dp, dq, qinv
    return ints[1], ints[2], ints[3]


def tlv(tag, value):
    n = len(value)
    if n < 0x80:
        head = bytes([n])
    elif n < 0x100:
        head = bytes([0x81, n])
    else:
        head = bytes([0x82, n >> 8, n & 0xFF])
    return tag + head + value


CHA = bytes.fromhex("FF FF FF FF FF")  # role and rights: all
RSA_OID = bytes.fromhex("2A 86 48 86 F7 0D 01 01 01")


def cv_certificate(signer_key, car, chr_, subject_key):
    sn, _, sd = signer_key
    n, e, _ = subject_key
    assert len(car) == 8 and len(chr_) == 12
    content = (b"\x41" + car + chr_ + CHA + RSA_OID
               + n.to_bytes(128, "big") + e.to_bytes((e.bit_length() + 7) // 8, "big"))
    k = (sn.bit_length() + 7) // 8
    cut = k - 22
    block = b"\x6A" + content[:cut] + hashlib.sha1(content).digest() + b"\xBC"
    s = pow(int.from_bytes(block, "big"), sd, sn)
    s = min(s, sn - s)
    body = (tlv(b"\x5F\x37", s.to_bytes(k, "big"))
            + tlv(b"\x5F\x38", content[cut:]) + tlv(b"\x42", car))
    return tlv(b"\x7F\x21", body)


# Key names of the channel (also written into the profiles' channel data).
RCA_NAME = b"ZBXRCA\x00\x01"               # CAR of the CA certificate
CA_CHR = b"ZBXCA\x00\x00\x01"               # pk-CA-CS-AUT reference
IFD_CHR = b"\x00\x00\x00\x00ZBXIFD\x00\x01"  # pk-IFD-AUT reference
RCA_KEYREF = b"\x02\x0F"                    # the card's name of pk-RCA-AUT
ICC_KEYREF = b"\x02\x1F"                    # the card's name of sk-ICC-AUT
IFD_KEYREF = b"ZBXIFD\x00\x01"


def der_int(v):
    n = (v.bit_length() + 8) // 8 or 1
    return tlv(b"\x02", v.to_bytes(n, "big"))


def octets(b):
    return tlv(b"\x04", b)


def channel_params(pki, ca_cert, ifd_cert, mac_len):
    """Vexa-channelParams as the module's card types carry them."""
    root_n, root_e, _ = rsa_private(os.path.join(pki, "root-ca.key.der"))
    ifd_n, ifd_e, ifd_d = rsa_private(os.path.join(pki, "ifd-aut.key.der"))
    body = (tlv(b"\x30", der_int(root_n) + der_int(root_e))
            + octets(b"\x83\x02" + RCA_KEYREF)
            + octets(ca_cert)
            + octets(b"\x83\x08" + CA_CHR)
            + octets(ifd_cert)
            + octets(IFD_KEYREF)
            + octets(IFD_CHR[4:])
            + octets(b"\x83\x0C" + IFD_CHR)
            + octets(b"\x84\x02" + ICC_KEYREF)
            + tlv(b"\x30", der_int(ifd_n) + der_int(ifd_e) + der_int(ifd_d)))
    if mac_len is not None:
        body += der_int(mac_len)
    return tlv(b"\x30", body)


def main():
    pki, out = sys.argv[1], sys.argv[2]
    rca = rsa_private(os.path.join(pki, "cv-rca.key.der"))
    ca = rsa_private(os.path.join(pki, "cv-ca-cs.key.der"))
    ifd = rsa_private(os.path.join(pki, "ifd-aut.key.der"))
    ca_cert = cv_certificate(rca, RCA_NAME, b"\x00" * 4 + CA_CHR, ca)
    ifd_cert = cv_certificate(ca, CA_CHR, IFD_CHR, ifd)
    open(os.path.join(pki, "c-cv-ca-cs-aut.cvc"), "wb").write(ca_cert)
    open(os.path.join(pki, "c-cv-ifd-aut.cvc"), "wb").write(ifd_cert)
    # Channel parameters of the national ID card (4-byte MACs) and of the
    # ORVA card type with a channel (8-byte MACs).
    open(os.path.join(pki, "vexa-channel-params.der"), "wb").write(
        channel_params(pki, ca_cert, ifd_cert, None))
    open(os.path.join(pki, "tc-orva4-channel-params.der"), "wb").write(
        channel_params(pki, ca_cert, ifd_cert, 8))

    names = sorted(f for f in os.listdir(pki) if f.endswith((".der", ".cvc")))
    lines = [
        "// Generated by sim/pki/make-pki.sh from the files in sim/pki/; do not edit.",
        "// Test data only: these keys protect nothing.",
        '#include "sim/content_pki.h"',
        "",
        "#include <cstdint>",
        "",
        "namespace zorbix::sim {",
        "namespace {",
        "",
        "struct EmbeddedFile {",
        "  const char* name;",
        "  const std::uint8_t* bytes;",
        "  std::size_t size;",
        "};",
        "",
    ]
    for i, name in enumerate(names):
        data = open(os.path.join(pki, name), "rb").read()
        lines.append(f"const std::uint8_t kFile{i}[] = {{  // {name}")
        for off in range(0, len(data), 16):
            chunk = ", ".join(f"0x{b:02X}" for b in data[off:off + 16])
            lines.append(f"    {chunk},")
        lines.append("};")
        lines.append("")
    lines.append("const EmbeddedFile kFiles[] = {")
    for i, name in enumerate(names):
        lines.append(f'    {{"{name}", kFile{i}, sizeof kFile{i}}},')
    lines += [
        "};",
        "",
        "}  // namespace",
        "",
        "std::vector<std::string> PkiFileNames() {",
        "  std::vector<std::string> names;",
        "  for (const EmbeddedFile& f : kFiles) names.emplace_back(f.name);",
        "  return names;",
        "}",
        "",
        "Bytes PkiFile(const std::string& name) {",
        "  for (const EmbeddedFile& f : kFiles)",
        "    if (name == f.name) return Bytes(f.bytes, f.bytes + f.size);",
        '  throw std::out_of_range("no PKI file " + name);',
        "}",
        "",
        "}  // namespace zorbix::sim",
        "",
    ]
    open(out, "w").write("\n".join(lines))


if __name__ == "__main__":
    main()
