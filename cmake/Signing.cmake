# Authenticode signing of the Windows build (cmake/Sign.cmake does it): the
# exes right after they are linked and stripped, so that the package carries
# signed files, and the package once it is built. Without a certificate the
# files stay unsigned, and configure says so in one line.
set(QX_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file with the code-signing certificate and its key")
set(QX_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File whose first line is the password of the key (or the token's PIN)")
set(QX_SIGN_PKCS11_MODULE "" CACHE FILEPATH "PKCS#11 module of a hardware token holding the key")
set(QX_SIGN_PKCS11_CERT "" CACHE STRING "PKCS#11 URI of the certificate on the token")
set(QX_SIGN_PKCS11_KEY "" CACHE STRING "PKCS#11 URI of the key on the token")
set(QX_SIGN_LEGACY_TIMESTAMP_URLS "" CACHE STRING
    "Legacy Authenticode time-stamping URLs (SHA-1 signature; XP reads them), ;-separated, tried in turn")
set(QX_SIGN_TIMESTAMP_URLS "" CACHE STRING
    "RFC 3161 time-stamping URLs (nested SHA-256 signature), ;-separated, tried in turn")

# Sets `var` to the COMMAND that signs `file` in place, or to nothing when unsigned.
function(qx_sign_command var file)
  if(QX_SIGN_COMMAND)
    set(${var} ${QX_SIGN_COMMAND} -DFILE=${file} -P ${CMAKE_SOURCE_DIR}/cmake/Sign.cmake PARENT_SCOPE)
  else()
    set(${var} "" PARENT_SCOPE)
  endif()
endfunction()

set(QX_SIGN_COMMAND)
if(NOT WIN32 OR CMAKE_SIZEOF_VOID_P EQUAL 8)
  return()  # only the 32-bit Windows build makes files to ship
endif()
if(QX_SIGN_PKCS12 STREQUAL "" AND QX_SIGN_PKCS11_MODULE STREQUAL "")
  message(STATUS "Unsigned build: set QX_SIGN_PKCS12 (or QX_SIGN_PKCS11_MODULE), "
                 "QX_SIGN_LEGACY_TIMESTAMP_URLS and QX_SIGN_TIMESTAMP_URLS to sign")
  return()
endif()
# Without a timestamp a signature ends with its certificate; XP and Server
# 2003 read only the legacy kind, later Windows the RFC 3161 one too.
foreach(urls QX_SIGN_LEGACY_TIMESTAMP_URLS QX_SIGN_TIMESTAMP_URLS)
  if("${${urls}}" STREQUAL "")
    message(FATAL_ERROR "Signing needs ${urls}: without a timestamp a signature ends with its "
                        "certificate (one URL may serve both lists where the authority answers both)")
  endif()
endforeach()
if(NOT QX_SIGN_PKCS11_MODULE STREQUAL "" AND (QX_SIGN_PKCS11_CERT STREQUAL "" OR QX_SIGN_PKCS11_KEY STREQUAL ""))
  message(FATAL_ERROR "QX_SIGN_PKCS11_MODULE needs QX_SIGN_PKCS11_CERT and QX_SIGN_PKCS11_KEY")
endif()
find_program(QX_OSSLSIGNCODE osslsigncode REQUIRED)
string(REPLACE ";" "|" legacy "${QX_SIGN_LEGACY_TIMESTAMP_URLS}")
string(REPLACE ";" "|" rfc3161 "${QX_SIGN_TIMESTAMP_URLS}")
set(QX_SIGN_COMMAND COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${QX_OSSLSIGNCODE}
    -DPKCS12=${QX_SIGN_PKCS12} -DPASSWORD_FILE=${QX_SIGN_PASSWORD_FILE}
    -DPKCS11_MODULE=${QX_SIGN_PKCS11_MODULE} -DPKCS11_CERT=${QX_SIGN_PKCS11_CERT}
    -DPKCS11_KEY=${QX_SIGN_PKCS11_KEY} "-DLEGACY_TIMESTAMP_URLS=${legacy}" "-DTIMESTAMP_URLS=${rfc3161}")
message(STATUS "Signed build: the exes and the package, timestamped by ${QX_SIGN_LEGACY_TIMESTAMP_URLS} "
               "(legacy) and ${QX_SIGN_TIMESTAMP_URLS} (RFC 3161)")
