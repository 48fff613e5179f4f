# TLS material for the sandbox and the tests, made at build time under the build tree and
# never committed (see cmake/make-certs.sh).
find_program(QUILLMARK_OPENSSL openssl REQUIRED)
set(QUILLMARK_CERT_FILES
  ${QUILLMARK_CERT_DIR}/ca.pem ${QUILLMARK_CERT_DIR}/ca.key
  ${QUILLMARK_CERT_DIR}/server.pem ${QUILLMARK_CERT_DIR}/server.key
  ${QUILLMARK_CERT_DIR}/wrongname.pem ${QUILLMARK_CERT_DIR}/wrongname.key
  ${QUILLMARK_CERT_DIR}/untrusted.pem ${QUILLMARK_CERT_DIR}/untrusted.key
  ${QUILLMARK_CERT_DIR}/weak.pem ${QUILLMARK_CERT_DIR}/weak.key
  ${QUILLMARK_CERT_DIR}/seclevel1.cnf)
add_custom_command(
  OUTPUT ${QUILLMARK_CERT_FILES}
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/make-certs.sh ${QUILLMARK_CERT_DIR}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make-certs.sh
  COMMENT "Generating the sandbox CA and certificates"
  VERBATIM)
add_custom_target(quillmark_certs ALL DEPENDS ${QUILLMARK_CERT_FILES})
