#!/usr/bin/env bash
# Makes a throw-away test PKI for the simulated host with the openssl command:
#   ca.pem, ca-key.pem            the test CA
#   server.pem, server-key.pem    the xen3 agent's certificate (CN 127.0.0.1; also 127.0.0.2)
#   xencert.pem                   client certificate followed by the CA (the chain file)
#   certChain.pem                 client certificate
#   key.pem                       client private key
# and for the XenAPI listeners (added to a folder made before they existed):
#   xenapi-ca.pem                 the CA a XenAPI client trusts: the test CA (a copy of ca.pem)
#   xenapi-server.pem, xenapi-server-key.pem
#                                 the XenAPI listeners' certificate, signed by the test CA, for
#                                 DNS:localhost, DNS:member02, DNS:xenhost01 (the shipped
#                                 inventory's host names), IP:127.0.0.1, IP:127.0.0.2, IP:::1
#   xenapi-pin.txt                sha256//BASE64: SHA-256 of the certificate's DER
#                                 SubjectPublicKeyInfo, Base64 (one line)
# usage: make_certs.sh OUTDIR   (does nothing when OUTDIR already holds them)
set -euo pipefail
# The openssl command reads OPENSSL_CONF, which may name a file meant for another program:
# the test PKI is made with the command's own configuration.
unset OPENSSL_CONF
out=$1
mkdir -p "$out"
cd "$out"
[ -f .complete ] && [ -f .xenapi-complete ] && exit 0
# several tests may start at once: one makes the files, the others wait for it
exec 9>.lock
flock 9
days=3650
if [ ! -f .complete ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca-key.pem -out ca.pem -days $days \
    -subj "/CN=Test host CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout server-key.pem -out server.csr -subj "/CN=127.0.0.1" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,IP:127.0.0.2,DNS:localhost\n' > server.ext  # master and pool member
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial -out server.pem \
    -days $days -extfile server.ext 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout key.pem -out client.csr -subj "/CN=test client" 2>/dev/null
  openssl x509 -req -in client.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial -out certChain.pem \
    -days $days 2>/dev/null
  cat certChain.pem ca.pem > xencert.pem
  rm -f server.csr client.csr server.ext ca.srl
  touch .complete
fi
if [ ! -f .xenapi-complete ]; then
  openssl req -newkey rsa:2048 -nodes -keyout xenapi-server-key.pem -out xenapi.csr -subj "/CN=xenhost01" 2>/dev/null
  cat > xenapi.ext <<'EXT'
subjectAltName=DNS:localhost,DNS:member02,DNS:xenhost01,IP:127.0.0.1,IP:127.0.0.2,IP:::1
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EXT
  openssl x509 -req -in xenapi.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial \
    -out xenapi-server.pem -days $days -extfile xenapi.ext 2>/dev/null
  cp ca.pem xenapi-ca.pem
  pin=$(openssl x509 -in xenapi-server.pem -noout -pubkey | openssl pkey -pubin -outform DER \
        | openssl dgst -sha256 -binary | openssl base64 -A)
  printf 'sha256//%s\n' "$pin" > xenapi-pin.txt
  rm -f xenapi.csr xenapi.ext ca.srl
  touch .xenapi-complete
fi
