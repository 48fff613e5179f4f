#!/usr/bin/env bash
# Reads quillmark-cycle's output and writes it with what differs from run to run or from
# system to system replaced by placeholders, so that two runs can be compared line for
# line: the ids, nonces and signs (32 letters or digits, or more: a prepay_id), the
# order's times and transaction id, the paths of the CA and the bitmap, and Windows' line
# ends.
#   normalise-cycle.sh < OUTPUT > NORMALISED
exec sed -E \
  -e 's/\r$//' \
  -e 's/[A-Za-z0-9]{32,}/<id>/g' \
  -e 's/[0-9]{14,}/<number>/g' \
  -e 's#/pay/qr/[A-Za-z0-9]+#/pay/qr/<order>#g' \
  -e 's#^(  (ca_file|qr_path) +).*\(#\1<path>  (#' \
  -e 's#^(QR bitmap: +).*#\1<path>#'
