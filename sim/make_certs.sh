#!/usr/bin/env bash
# Makes a throw-away test PKI for the simulated host with the openssl command:
#   ca.pem, ca-key.pem            the test CA
#   server.pem, server-key.pem    the simulated host's certificate (CN 127.0.0.1; also 127.0.0.2)
#   xencert.pem                   client certificate followed by the CA (the chain file)
#   certChain.pem                 client certificate
#   key.pem                       client private key
# usage: make_certs.sh OUTDIR   (does nothing when OUTDIR already holds them)
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
[ -f .complete ] && exit 0
# several tests may start at once: one makes the files, the others wait for it
exec 9>.lock
flock 9
[ -f .complete ] && exit 0
days=3650
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca-key.pem -out ca.pem -days $days \
  -subj "/CN=Test host CA" -addext "basicConstraints=critical,CA:TRUE" 2>/dev/null
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
