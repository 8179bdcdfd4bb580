#!/usr/bin/env bash
# Makes the virtual cards' test PKI once; the results are committed.
#
#   bash sim/pki/make-pki.sh        (from the repository root)
#
# Needs openssl and /usr/bin/python3 (standard library only). Writes the keys
# and certificates into sim/pki/ and regenerates sim/content_pki.cpp, the C++
# image of those files that the profiles embed. Keys are random: running it
# again gives a new, equally valid PKI (commit all of it together).
# Everything here is test data; none of it protects anything.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
cd "$here"
rm -f ./*.pem ./*.der ./*.cvc
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cat >"$work/openssl.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
# PrintableString where the characters allow it.
string_mask = default
[dn]
CN = unused
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[sign]
basicConstraints = critical, CA:FALSE
keyUsage = critical, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[auth]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = clientAuth, emailProtection
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[cipher]
basicConstraints = critical, CA:FALSE
keyUsage = critical, keyEncipherment, dataEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

key() {  # name bits [public exponent]
  openssl genpkey -algorithm RSA -pkeyopt "rsa_keygen_bits:$2" \
    -pkeyopt "rsa_keygen_pubexp:${3:-65537}" -out "$1.key.pem" 2>/dev/null
  openssl rsa -in "$1.key.pem" -traditional -outform DER -out "$1.key.der" 2>/dev/null
}

# Five relative names; the fifth is the common name.
subject() {  # ou serial cn
  echo "/C=ES/O=ORVA-ZEL TEST/OU=$1/serialNumber=$2/CN=$3"
}

cert() {  # name issuer serial days extension ou subjectSerial cn
  openssl req -new -config "$work/openssl.cnf" -key "$1.key.pem" \
    -subj "$(subject "$6" "$7" "$8")" -out "$work/$1.csr"
  if [ "$2" = self ]; then
    openssl x509 -req -in "$work/$1.csr" -signkey "$1.key.pem" -sha1 \
      -set_serial "$3" -days "$4" -extfile "$work/openssl.cnf" -extensions "$5" \
      -outform DER -out "$1.crt.der" 2>/dev/null
  else
    openssl x509 -req -in "$work/$1.csr" -CA "$2.crt.pem" -CAkey "$2.key.pem" -sha1 \
      -set_serial "$3" -days "$4" -extfile "$work/openssl.cnf" -extensions "$5" \
      -outform DER -out "$1.crt.der" 2>/dev/null
  fi
  openssl x509 -inform DER -in "$1.crt.der" -out "$1.crt.pem"
}

# X.509 hierarchy of the cards: root CA (its public key is the channel's
# pk-RCAicc), the cards' intermediate CA, the card's own authentication
# certificate (channel cards, short identifier 1F) and the holder's keys.
key root-ca 1024
cert root-ca self 0x01 9000 ca "ZORBIX TEST PKI" 00000001 "ZORBIX TEST ROOT CA"
key card-ca 1024
cert card-ca root-ca 0x0A01 8000 ca "ZORBIX TEST PKI" 00000002 "ZORBIX TEST CARD CA"
key icc-aut 1024
cert icc-aut card-ca 0x1C01 7000 auth "ZORBIX TEST CARD" 00000003 "ZORBIX ICC COMPONENT AUT"

key user-auth-1024 1024
cert user-auth-1024 card-ca 0x2001 7000 auth "ZORBIX TEST HOLDER" 12345678Z "ZORBIX PRUEBA (AUTENTICACION)"
key user-sign-2048 2048
cert user-sign-2048 card-ca 0x2002 7000 sign "ZORBIX TEST HOLDER" 12345678Z "ZORBIX PRUEBA (FIRMA)"
key user-cipher-2048 2048
cert user-cipher-2048 card-ca 0x2003 7000 cipher "ZORBIX TEST HOLDER" 12345678Z "ZORBIX PRUEBA (CIFRADO)"
key user-sign-1024 1024
cert user-sign-1024 card-ca 0x2004 7000 sign "ZORBIX TEST HOLDER" 87654321X "ZORBIX PRUEBA B (FIRMA)"

# Card-verifiable side of the channel: the root key the card trusts
# (pk-RCA-AUT), the intermediate CV authority and the terminal key. The
# authority's 4-byte exponent gives its certificate the 210 bytes, and the
# terminal's the 209 bytes, of the channel parameters' usual form.
key cv-rca 1024
key cv-ca-cs 1024 16777217
# The terminal key's private exponent must take exactly 128 INTEGER content
# bytes (top bit clear, no shorter), as the channel parameters carry it.
until key ifd-aut 1024 && /usr/bin/python3 - "ifd-aut.key.der" <<'PY'
import sys
sys.path.insert(0, ".")
from make_cvc import rsa_private
_, _, d = rsa_private(sys.argv[1])
sys.exit(0 if 1016 <= d.bit_length() <= 1023 else 1)
PY
do :; done

/usr/bin/python3 "$here/make_cvc.py" "$here" "$root/sim/content_pki.cpp"
rm -f ./*.srl
echo "PKI written to $here and $root/sim/content_pki.cpp"
