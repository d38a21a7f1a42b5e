#!/bin/sh
# Regenerates the certificates the HTTP tests use. Run it from anywhere; it
# writes into the folder it lives in. The files are committed, so the tests
# never need openssl at run time.
#
#   ca.pem, ca.key          the test authority
#   server.key              the one key of every server certificate below
#   server.pem              good: signed by the authority, names localhost,
#                           127.0.0.1 and secure.tarvo.example
#   wrongname.pem           signed by the authority, names only wrong.tarvo.example
#   expired.pem             signed by the authority, valid only during 2000
#   selfsigned.pem          good names, but signed by its own key
#   revoked.pem             good names, signed by the authority, revoked in crl.pem
#   crl.pem                 the authority's revocation list (revoked.pem only)
#
# Everything except expired.pem is valid for 100 years.
set -eu
out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

days=36500
names="DNS:localhost,IP:127.0.0.1,DNS:secure.tarvo.example"

mkdir -p db
: > db/index.txt
echo 1000 > db/serial
echo 1000 > db/crlnumber
cat > ca.cnf <<CNF
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = $work/db
database = \$dir/index.txt
serial = \$dir/serial
crlnumber = \$dir/crlnumber
new_certs_dir = \$dir
default_md = sha256
policy = any
unique_subject = no
copy_extensions = copy
default_crl_days = $days
[ any ]
commonName = supplied
[ leaf ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
CNF

openssl ecparam -name prime256v1 -genkey -noout -out ca.key
openssl req -x509 -new -key ca.key -sha256 -days $days -subj "/CN=Tarvo Test Authority" \
  -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out ca.pem

openssl ecparam -name prime256v1 -genkey -noout -out server.key

leaf() {  # name subject-alt-names [openssl ca date options...]
  name=$1; san=$2; shift 2
  openssl req -new -key server.key -subj "/CN=$name" -addext "subjectAltName=$san" -out "$name.csr"
  openssl ca -batch -config ca.cnf -extensions leaf -cert ca.pem -keyfile ca.key \
    -in "$name.csr" -out "$name.pem" -notext "$@"
}
leaf server "$names" -days $days
leaf wrongname "DNS:wrong.tarvo.example" -days $days
leaf expired "$names" -startdate 20000101000000Z -enddate 20010101000000Z
leaf revoked "$names" -days $days
openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -revoke revoked.pem
openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -gencrl -out crl.pem

openssl req -x509 -new -key server.key -sha256 -days $days -subj "/CN=selfsigned" \
  -addext "subjectAltName=$names" -addext "basicConstraints=critical,CA:false" \
  -out selfsigned.pem

chmod 644 ca.key server.key
cp ca.pem ca.key server.key server.pem wrongname.pem expired.pem selfsigned.pem revoked.pem \
  crl.pem "$out/"
echo "certificates written to $out"
