#!/bin/sh
# Makes the throw-away TLS material of a build: a CA that the client trusts by default, the
# sandbox's certificate for 127.0.0.1 and localhost issued by it, and two certificates
# that tests use as servers the client must refuse.
# Usage: make-certs.sh OUTDIR
set -eu
out=$1
mkdir -p "$out"
cd "$out"
umask 077

ec() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1" 2>/dev/null; }

# The CA may sign only for loopback, the private ranges and localhost: a phone that
# installs it in the LAN mode trusts nothing else by it. The same constraints as the
# per-user CA's (sandbox/certificates.cpp), which a test holds the two to.
ec ca.key
openssl req -x509 -new -key ca.key -sha256 -days 3650 -subj "/CN=Quillmark Sandbox CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -addext "nameConstraints=critical,permitted;IP:10.0.0.0/255.0.0.0,permitted;IP:172.16.0.0/255.240.0.0,permitted;IP:192.168.0.0/255.255.0.0,permitted;IP:127.0.0.0/255.0.0.0,permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff,permitted;IP:fc00::/fe00::,permitted;DNS:localhost" \
  -out ca.pem

ec server.key
openssl req -new -key server.key -subj "/CN=127.0.0.1" -out server.csr
cat > server.ext <<EXT
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 825 -sha256 \
  -extfile server.ext -out server.pem 2>/dev/null

# Issued by the trusted CA, within its name constraints, but for another name: the client
# must still refuse it.
ec wrongname.key
openssl req -new -key wrongname.key -subj "/CN=wrong-name.localhost" -out wrongname.csr
printf 'basicConstraints=CA:FALSE\nsubjectAltName=DNS:wrong-name.localhost\n' > wrongname.ext
openssl x509 -req -in wrongname.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 825 -sha256 \
  -extfile wrongname.ext -out wrongname.pem 2>/dev/null

# Issued by the trusted CA for the right name, but over a 1024-bit RSA key: below the
# transport's security level on every system, whatever the system's own OpenSSL allows.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out weak.key 2>/dev/null
openssl req -new -key weak.key -subj "/CN=127.0.0.1" -out weak.csr
openssl x509 -req -in weak.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 825 -sha256 \
  -extfile server.ext -out weak.pem 2>/dev/null
# An OpenSSL configuration at security level 1, the level OpenSSL built from source (the
# Windows build's) has by default: a server may then present the weak certificate, and a
# client that kept the system's level would take it.
cat > seclevel1.cnf <<CNF
openssl_conf = quillmark_init
[quillmark_init]
ssl_conf = quillmark_ssl
[quillmark_ssl]
system_default = quillmark_tls
[quillmark_tls]
CipherString = DEFAULT@SECLEVEL=1
CNF

ec untrusted.key
openssl req -x509 -new -key untrusted.key -sha256 -days 825 -subj "/CN=127.0.0.1" \
  -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" -out untrusted.pem

rm -f server.csr server.ext wrongname.csr wrongname.ext weak.csr ca.srl
chmod 644 ca.pem server.pem wrongname.pem untrusted.pem weak.pem seclevel1.cnf
