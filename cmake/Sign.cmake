# Signs one file in place with osslsigncode: an Authenticode signature with
# SHA-1 (the only digest Windows XP SP2 and Server 2003 can check) and a
# legacy Authenticode timestamp (`-t`, the only kind they read), then a nested
# SHA-256 one with an RFC 3161 timestamp (`-ts`), so that each stays valid
# after the certificate expires.
#
#   cmake -DFILE=path -DOSSLSIGNCODE=path
#         ( -DPKCS12=file.p12 | -DPKCS11_MODULE=lib.so -DPKCS11_CERT=uri -DPKCS11_KEY=uri )
#         [-DPASSWORD_FILE=file] -DLEGACY_TIMESTAMP_URLS="url1|url2"
#         -DTIMESTAMP_URLS="url1|url2" -P cmake/Sign.cmake
#
# The URLs of each list are tried in turn until one answers.
cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/ScriptArgs.cmake)
qx_require_args(FILE OSSLSIGNCODE LEGACY_TIMESTAMP_URLS TIMESTAMP_URLS)

if(DEFINED PKCS12 AND NOT PKCS12 STREQUAL "")
  set(credentials -pkcs12 "${PKCS12}")
elseif(DEFINED PKCS11_MODULE AND NOT PKCS11_MODULE STREQUAL "")
  set(credentials -pkcs11module "${PKCS11_MODULE}" -pkcs11cert "${PKCS11_CERT}" -key "${PKCS11_KEY}")
else()
  message(FATAL_ERROR "Sign.cmake: neither PKCS12 nor PKCS11_MODULE is set")
endif()
if(DEFINED PASSWORD_FILE AND NOT PASSWORD_FILE STREQUAL "")
  list(APPEND credentials -readpass "${PASSWORD_FILE}")
endif()
# -t URL... for the legacy kind, -ts URL... for RFC 3161.
function(timestamp_options var option urls)
  string(REPLACE "|" ";" urls "${urls}")
  set(options)
  foreach(url IN LISTS urls)
    list(APPEND options ${option} "${url}")
  endforeach()
  set(${var} ${options} PARENT_SCOPE)
endfunction()
timestamp_options(legacy -t "${LEGACY_TIMESTAMP_URLS}")
timestamp_options(rfc3161 -ts "${TIMESTAMP_URLS}")

get_filename_component(name "${FILE}" NAME)
set(pass1 "${FILE}.sha1.tmp")
set(pass2 "${FILE}.sha256.tmp")
file(REMOVE "${pass1}" "${pass2}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign ${credentials} -h sha1 -n QarnIEx ${legacy}
          -in "${FILE}" -out "${pass1}"
  RESULT_VARIABLE result OUTPUT_QUIET)
if(result EQUAL 0)
  execute_process(
    COMMAND "${OSSLSIGNCODE}" sign ${credentials} -nest -h sha256 -n QarnIEx ${rfc3161}
            -in "${pass1}" -out "${pass2}"
    RESULT_VARIABLE result OUTPUT_QUIET)
endif()
file(REMOVE "${pass1}")
if(NOT result EQUAL 0)
  file(REMOVE "${pass2}")
  message(FATAL_ERROR "osslsigncode could not sign ${name} (${result})")
endif()
file(RENAME "${pass2}" "${FILE}")
message(STATUS "Signed ${name} (SHA-1, legacy timestamp; nested SHA-256, RFC 3161 timestamp)")
