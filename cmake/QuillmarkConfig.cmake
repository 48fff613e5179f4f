# Build-time merchant configuration. Every value is a cache variable so that a merchant
# account is chosen with -D on the cmake command line; the defaults describe the made-up
# merchant that quillmark-sandbox knows, so a fresh checkout runs end to end.
#
# The values end up inside C++ string literals, an XML document and a sign string, where
# quotes, angle brackets or '&' would corrupt the request. Validation therefore checks the
# exact form rather than only the length, and stops configuration naming the variable.

set(QUILLMARK_CERT_DIR "${CMAKE_BINARY_DIR}/certs")

set(QUILLMARK_APPID "qmsandbox000000001" CACHE STRING
    "Application id issued by the platform (18 letters or digits)")
set(QUILLMARK_MCH_ID "1230000001" CACHE STRING
    "Merchant number issued by the platform (10 digits)")
set(QUILLMARK_API_KEY "QuillmarkSandboxKey2026x0123abcd" CACHE STRING
    "Merchant API key used for signing (32 letters or digits)")
set(QUILLMARK_SPBILL_CREATE_IP "127.0.0.1" CACHE STRING
    "IPv4 address reported as the client's (dotted decimal)")
set(QUILLMARK_NOTIFY_URL "http://127.0.0.1:8080/quillmark/notify" CACHE STRING
    "Absolute http URL of the merchant's notification page")
set(QUILLMARK_API_BASE "https://127.0.0.1:8443" CACHE STRING
    "Scheme, host and optional port of the merchant API, without a trailing slash")
set(QUILLMARK_CA_FILE "${QUILLMARK_CERT_DIR}/ca.pem" CACHE STRING
    "PEM bundle the transport trusts; empty means the system's trust store")
set(QUILLMARK_NOTIFY_LISTEN "" CACHE STRING
    "Where the clients listen for payment notifications (host:port); empty: notify_url's own")
set(QUILLMARK_SIGN_TYPE "MD5" CACHE STRING
    "How requests are signed and replies checked: MD5 or HMAC-SHA256")
set_property(CACHE QUILLMARK_SIGN_TYPE PROPERTY STRINGS MD5 HMAC-SHA256)
set(QUILLMARK_QR_PATH "1.BMP" CACHE STRING
    "Where the QR bitmap is written (relative paths are taken from the working directory)")

function(quillmark_require variable regex what)
  if(NOT "${${variable}}" MATCHES "${regex}")
    message(FATAL_ERROR "${variable} = \"${${variable}}\" is not valid: it must be ${what}.")
  endif()
endfunction()

quillmark_require(QUILLMARK_APPID "^[A-Za-z0-9]+$" "18 ASCII letters or digits")
string(LENGTH "${QUILLMARK_APPID}" _len)
if(NOT _len EQUAL 18)
  message(FATAL_ERROR "QUILLMARK_APPID = \"${QUILLMARK_APPID}\" is not valid: it must be 18 ASCII letters or digits (it has ${_len} characters).")
endif()

quillmark_require(QUILLMARK_MCH_ID "^[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]$"
                  "exactly 10 decimal digits")

quillmark_require(QUILLMARK_API_KEY "^[A-Za-z0-9]+$" "32 ASCII letters or digits")
string(LENGTH "${QUILLMARK_API_KEY}" _len)
if(NOT _len EQUAL 32)
  message(FATAL_ERROR "QUILLMARK_API_KEY is not valid: it must be 32 ASCII letters or digits (it has ${_len} characters).")
endif()

set(_octet "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])")
quillmark_require(QUILLMARK_SPBILL_CREATE_IP "^${_octet}\\.${_octet}\\.${_octet}\\.${_octet}$"
                  "a dotted-decimal IPv4 address such as 203.0.113.7")

quillmark_require(QUILLMARK_NOTIFY_URL "^http://[A-Za-z0-9.-]+(:[0-9]+)?(/[!-%'-;=?-~]*)?$"
                  "an absolute http:// URL of printable ASCII without <, > or &")

quillmark_require(QUILLMARK_API_BASE "^https://([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]+)?$"
                  "https:// followed by a host and an optional :port, with no path and no trailing slash")

quillmark_require(QUILLMARK_NOTIFY_LISTEN "^(|([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\]):[0-9]+)$"
                  "empty, or a host and a :port such as 0.0.0.0:8080")
if(QUILLMARK_NOTIFY_LISTEN MATCHES ":([0-9]+)$" AND CMAKE_MATCH_1 GREATER 65535)
  message(FATAL_ERROR "QUILLMARK_NOTIFY_LISTEN = \"${QUILLMARK_NOTIFY_LISTEN}\" is not valid: its port must be at most 65535.")
endif()

quillmark_require(QUILLMARK_SIGN_TYPE "^(MD5|HMAC-SHA256)$" "MD5 or HMAC-SHA256")

if(QUILLMARK_QR_PATH STREQUAL "")
  message(FATAL_ERROR "QUILLMARK_QR_PATH must not be empty: it names the bitmap file to write.")
endif()
foreach(_path_var QUILLMARK_CA_FILE QUILLMARK_QR_PATH)
  if("${${_path_var}}" MATCHES "\\)qm\"")
    message(FATAL_ERROR "${_path_var} must not contain the character sequence )qm\"")
  endif()
endforeach()

set(QUILLMARK_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
configure_file(${CMAKE_CURRENT_LIST_DIR}/../config/merchant_config.h.in
               ${QUILLMARK_GENERATED_DIR}/config/merchant_config.h @ONLY)
